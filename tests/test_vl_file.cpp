// File, stream, pipe and temporary-name services.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/vl_file.h"
#include "platform/vl_mem.h"
#include "support/test_support.h"

namespace {

class VlFile : public ::testing::Test {
protected:
    void SetUp() override { dir_ = bptest::make_temp_dir(); }
    void TearDown() override { bptest::remove_tree(dir_); }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    std::string dir_;
};

mode_t mode_of(const std::string &p)
{
    struct stat st {};
    EXPECT_EQ(stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(VlMktemp, NamesCarryPidAndCounterAndAreFreshCopies)
{
    const int first = ftemp_counter;
    const std::string pid = std::to_string(getpid());

    char *a = vl_mktemp();
    EXPECT_EQ(ftemp_counter, first + 1);
    char *b = vl_mktemp();
    EXPECT_EQ(ftemp_counter, first + 2);

    EXPECT_EQ(std::string(a), ".nntmp." + pid + "." + std::to_string(first));
    EXPECT_EQ(std::string(b), ".nntmp." + pid + "." + std::to_string(first + 1));
    EXPECT_NE(a, b);
    // The array holds the latest name; the first copy was not changed by the second call.
    EXPECT_STREQ(ftemp_string, b);
    EXPECT_EQ(std::string(a), ".nntmp." + pid + "." + std::to_string(first));
    vl_free_mem(a);
    vl_free_mem(b);
}

TEST(VlMktemp, OverwritesOnlyAsFarAsTheNameReaches)
{
    char before[sizeof ftemp_string];
    std::memcpy(before, ftemp_string, sizeof before);
    char *name = vl_mktemp();
    const size_t len = std::strlen(ftemp_string);
    ASSERT_LT(len, sizeof ftemp_string);
    EXPECT_EQ(std::strncmp(ftemp_string, ".nntmp.", 7), 0);
    // The places beyond the new terminator keep what they held (placeholders "X" at first).
    for (size_t i = len + 1; i < sizeof ftemp_string; i++)
        EXPECT_EQ(ftemp_string[i], before[i]) << "at " << i;
    EXPECT_EQ(ftemp_string[sizeof ftemp_string - 1], '\0');
    vl_free_mem(name);
}

TEST(VlMktemp, InitialArrayHoldsPrefixAndTwentyPlaceholders)
{
    // Under CTest every test runs in a process of its own, which has made no name yet.
    if (ftemp_counter != 0)
        GTEST_SKIP() << "names were already made in this process";
    EXPECT_EQ(std::string(ftemp_string, sizeof ftemp_string), std::string(".nntmp.XXXXXXXXXXXXXXXXXXXX\0", 28));
    char *name = vl_mktemp();
    const std::string expect = ".nntmp." + std::to_string(getpid()) + ".0";
    EXPECT_EQ(std::string(name), expect);
    EXPECT_EQ(std::string(ftemp_string + expect.size() + 1), std::string(26 - expect.size(), 'X'));
    vl_free_mem(name);
}

TEST(VlMktemp, LargestCounterStillFits)
{
    const int saved = ftemp_counter;
    ftemp_counter = -2147483647 - 1;  // the longest decimal form of an int
    char *name = vl_mktemp();
    EXPECT_EQ(std::string(name), ".nntmp." + std::to_string(getpid()) + ".-2147483648");
    EXPECT_EQ(ftemp_string[sizeof ftemp_string - 1], '\0');
    vl_free_mem(name);
    ftemp_counter = 2147483647;
    name = vl_mktemp();
    EXPECT_EQ(std::string(name), ".nntmp." + std::to_string(getpid()) + ".2147483647");
    EXPECT_EQ(ftemp_counter, -2147483647 - 1);  // wraps without overflow
    vl_free_mem(name);
    ftemp_counter = saved;
}

TEST_F(VlFile, CreateMakesNewFileWithMode0644MinusUmask)
{
    const mode_t old = umask(022);
    const std::string p = path("new");
    int fd = vl_create(p.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vl_write(fd, "abc", 3), 3);
    EXPECT_EQ(vl_close(fd), 0);
    EXPECT_EQ(mode_of(p), 0644u);

    umask(077);
    const std::string q = path("private");
    fd = vl_create(q.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vl_close(fd), 0);
    EXPECT_EQ(mode_of(q), 0600u);
    umask(old);
}

TEST_F(VlFile, CreateTruncatesExistingFileAndKeepsItsMode)
{
    const std::string p = path("old");
    bptest::write_file(p, "some old contents");
    ASSERT_EQ(chmod(p.c_str(), 0600), 0);
    const int fd = vl_create(p.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vl_close(fd), 0);
    EXPECT_EQ(vl_file_size(p.c_str()), 0);
    EXPECT_EQ(mode_of(p), 0600u);
}

TEST_F(VlFile, CreateInMissingFolderFails)
{
    errno = 0;
    EXPECT_EQ(vl_create(path("no/such/file").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(VlFile, OpenIsReadOnly)
{
    const std::string p = path("r");
    bptest::write_file(p, "hello");
    const int fd = vl_open(p.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    errno = 0;
    EXPECT_EQ(vl_write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    char buf[8] = {};
    EXPECT_EQ(vl_read(fd, buf, 8), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(vl_read(fd, buf, 8), 0);  // end of file
    EXPECT_EQ(vl_close(fd), 0);
    EXPECT_EQ(bptest::read_file(p), "hello");

    errno = 0;
    EXPECT_EQ(vl_open(path("missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(VlFile, DescriptorCallsReportFailureAsThePlatformDoes)
{
    errno = 0;
    EXPECT_EQ(vl_close(-1), -1);
    EXPECT_EQ(errno, EBADF);
    char c;
    errno = 0;
    EXPECT_EQ(vl_read(-1, &c, 1), -1);
    EXPECT_EQ(errno, EBADF);
    // A negative byte count is refused instead of becoming a huge request.
    const std::string p = path("n");
    bptest::write_file(p, "data");
    const int fd = vl_open(p.c_str());
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(vl_read(fd, &c, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(vl_write(fd, &c, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vl_close(fd), 0);
}

TEST_F(VlFile, FileSize)
{
    const std::string empty = path("empty");
    bptest::write_file(empty, "");
    EXPECT_EQ(vl_file_size(empty.c_str()), 0);
    const std::string some = path("some");
    bptest::write_file(some, std::string(633, 'z'));
    EXPECT_EQ(vl_file_size(some.c_str()), 633);
    EXPECT_EQ(vl_file_size(path("missing").c_str()), -1);
    if (geteuid() != 0) {  // permission bits do not stop the superuser
        ASSERT_EQ(chmod(some.c_str(), 0), 0);
        EXPECT_EQ(vl_file_size(some.c_str()), -1);
    }
}

TEST_F(VlFile, StreamWrappers)
{
    const std::string p = path("s");
    FILE *f = vl_fopen(p.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fputs("xy", f), 1);
    EXPECT_EQ(vl_fclose(f), 0);

    f = vl_fopen(p.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char c = 0;
    EXPECT_EQ(vl_fread(&c, 1, 1, f), 1);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(vl_fread(&c, 1, 1, f), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(vl_fread(&c, 1, 1, f), 0);  // end of stream
    EXPECT_EQ(vl_fread(&c, 1, -1, f), 0);  // a negative count reads nothing

    // freopen gives the same stream a new file.
    const std::string q = path("t");
    bptest::write_file(q, "abcd");
    FILE *g = vl_freopen(q.c_str(), "r", f);
    ASSERT_EQ(g, f);
    char buf[4];
    EXPECT_EQ(vl_fread(buf, 2, 2, g), 2);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(vl_fclose(g), 0);

    EXPECT_EQ(vl_fopen(path("missing").c_str(), "r"), nullptr);
}

TEST(VlPipe, PopenReadsCommandOutputAndPcloseGivesStatus)
{
    FILE *p = vl_popen("echo piped", "r");
    ASSERT_NE(p, nullptr);
    char buf[32] = {};
    EXPECT_EQ(vl_fread(buf, 1, sizeof buf - 1, p), 6);
    EXPECT_STREQ(buf, "piped\n");
    EXPECT_EQ(vl_pclose(p), 0);

    p = vl_popen("exit 3", "r");
    ASSERT_NE(p, nullptr);
    const int status = vl_pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST(VlPerror, PrintsMessageColonAndErrnoText)
{
    const std::string dir = bptest::make_temp_dir();
    const std::string out = dir + "/err";
    // Send standard error to a file for the call.
    std::fflush(stderr);
    const int saved = dup(2);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    errno = ENOENT;
    vl_perror("loading");
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(bptest::read_file(out), std::string("loading: ") + std::strerror(ENOENT) + "\n");
    bptest::remove_tree(dir);
}

}  // namespace
