// Binary save files: the 633-byte layout, round trips, every loader message, the
// all-or-nothing load, damaged and truncated files, and the atomic writer.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "network/nn.h"
#include "reference/nn_layout.h"
#include "platform/vl_exit.h"
#include "platform/vl_mem.h"
#include "support/test_support.h"

using namespace nn_layout;

namespace {

// Builds save files field by field.
struct FileBuilder {
    std::string bytes;
    FileBuilder &i32(std::int32_t v)
    {
        bytes.append(reinterpret_cast<const char *>(&v), 4);
        return *this;
    }
    FileBuilder &name(const std::string &s)
    {
        bytes.append(s);
        bytes.push_back('\0');
        return *this;
    }
    FileBuilder &values(int count, float first)
    {
        for (int i = 0; i < count; i++) {
            const float v = first + static_cast<float>(i);
            bytes.append(reinterpret_cast<const char *>(&v), 4);
        }
        return *this;
    }
    FileBuilder &header(int records, std::vector<int> lengths, int id = 100, int version = 7, int revision = 0)
    {
        i32(id).i32(version).i32(revision);
        bytes.append(256, '\0');
        i32(records);
        for (int l : lengths)
            i32(l);
        return *this;
    }
    FileBuilder &layer(const std::string &n, int count, float first) { return name(n).i32(count).values(count, first); }
    FileBuilder &conn(const std::string &l, const std::string &a, int count, float first)
    {
        return name(l).name(a).i32(count).values(count, first);
    }
};

// A valid record of nn with distinctive values; layer and connection records in the given order.
std::string nn_record(int counter = 5)
{
    FileBuilder b;
    b.name("nn").i32(counter).i32(3);
    b.layer("H1", 4, 100).layer("H2", 2, 200).layer("Out", 4, 300);
    b.i32(6);
    b.conn("H1", "H16", 8, 1000).conn("H2", "H25", 4, 2000).conn("H2", "H24", 8, 3000);
    b.conn("Out", "Out3", 8, 4000).conn("Out", "Out2", 16, 5000).conn("Out", "Out1", 8, 6000);
    return b.bytes;
}

std::string single_record_file(const std::string &record, int id = 100, int version = 7)
{
    FileBuilder b;
    b.header(1, {static_cast<int>(record.size())}, id, version);
    return b.bytes + record;
}

class SaveFile : public ::testing::Test {
protected:
    std::string dir, path;
    void SetUp() override
    {
        dir = bptest::make_temp_dir();
        path = dir + "/Network.save";
        nn_set_random_init_seed(123);
        nn_set_random_init_range(0.1f);
        b0bcounter = 0;
        nn_init_network();
    }
    void TearDown() override { bptest::remove_tree(dir); }
    int load(const std::string &contents)
    {
        bptest::write_file(path, contents);
        return nn_load_network(path.c_str());
    }
    static std::vector<float> state() { return std::vector<float>(network_data, network_data + NN_DATA_SIZE); }
};

TEST_F(SaveFile, WriterLayout)
{
    b0bcounter = 0x01020304;
    ASSERT_EQ(nn_dump_network(path.c_str()), 0);
    const std::string f = bptest::read_file(path);
    ASSERT_EQ(f.size(), 633u);
    EXPECT_EQ(f.substr(0, 12), std::string("\x64\0\0\0\x07\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(f.substr(12, 256), std::string(256, '\0'));
    EXPECT_EQ(f.substr(268, 8), std::string("\x01\0\0\0\x65\x01\0\0", 8));
    EXPECT_EQ(f.substr(276, 7), std::string("nn\0\x04\x03\x02\x01", 7));
    EXPECT_EQ(f.substr(325, 4), std::string("Out\0", 4));
    EXPECT_EQ(f.substr(592, 5), std::string("Out1\0", 5));
    EXPECT_EQ(std::memcmp(f.data() + 294, network_data + kH1Thr, 16), 0);
    EXPECT_EQ(std::memcmp(f.data() + 524, network_data + kW_Out_H1, 64), 0);
    EXPECT_EQ(std::memcmp(f.data() + 601, network_data + kW_Out_H2, 32), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
}

TEST_F(SaveFile, SampleFileRoundTripsByteForByte)
{
    const std::string sample = bptest::read_file(bptest::data_path("sample.save"));
    ASSERT_EQ(load(sample), 0);
    ASSERT_EQ(nn_dump_network(path.c_str()), 0);
    EXPECT_EQ(bptest::read_file(path), sample);
}

TEST_F(SaveFile, RoundTripRestoresValuesAndCounterWhateverTheReservedBytes)
{
    b0bcounter = 77;
    ASSERT_EQ(nn_dump_network(path.c_str()), 0);
    const std::vector<float> saved = state();
    std::string f = bptest::read_file(path);
    for (int i = 12; i < 268; i++)
        f[i] = static_cast<char>(i);
    nn_set_random_init_seed(9);
    nn_init_network();
    b0bcounter = 0;
    ASSERT_EQ(load(f), 0);
    EXPECT_EQ(b0bcounter, 77);
    EXPECT_EQ(std::memcmp(network_data, saved.data(), sizeof network_data), 0);
}

TEST_F(SaveFile, RecordsFoundByNameInAnyOrderLaterDuplicatesStand)
{
    FileBuilder b;
    b.name("nn").i32(9).i32(3).layer("Out", 4, 300).layer("H1", 4, 100).layer("H2", 2, 200).i32(7);
    b.conn("Out", "Out1", 8, 6000).conn("Out", "Out2", 16, 5000).conn("Out", "Out3", 8, 4000);
    b.conn("H2", "H24", 8, 3000).conn("H2", "H25", 4, 2000).conn("H1", "H16", 8, 1000);
    b.conn("H1", "H16", 8, 7000);
    ASSERT_EQ(load(single_record_file(b.bytes)), 0);
    EXPECT_EQ(b0bcounter, 9);
    EXPECT_EQ(network_data[kOutThr + 3], 303.0f);
    EXPECT_EQ(network_data[kH2Thr], 200.0f);
    EXPECT_EQ(network_data[kW_Out_H1 + 15], 5015.0f);
    EXPECT_EQ(network_data[kW_H1_In], 7000.0f);
}

TEST_F(SaveFile, ConnectionCountZeroKeepsWeights)
{
    const std::vector<float> before = state();
    FileBuilder b;
    b.name("nn").i32(1).i32(3).layer("H1", 4, 100).layer("H2", 2, 200).layer("Out", 4, 300).i32(0);
    ASSERT_EQ(load(single_record_file(b.bytes)), 0);
    EXPECT_EQ(network_data[kH1Thr], 100.0f);
    EXPECT_EQ(std::memcmp(network_data + kW_H1_In, before.data() + kW_H1_In, 4 * (NN_DATA_SIZE - kW_H1_In)), 0);
}

TEST_F(SaveFile, HeaderWarningsLoadAndLastOneStands)
{
    ASSERT_EQ(load(single_record_file(nn_record(), 99)), 0);
    EXPECT_STREQ(error_string, "\nWarning: This dump file is from another compiler.\n");
    ASSERT_EQ(load(single_record_file(nn_record(), 99, 6)), 0);
    EXPECT_STREQ(error_string, "\nWarning: Dump file created with another version (v.6) of compiler.\n");
    FileBuilder b;
    b.header(1, {static_cast<int>(nn_record().size())}, 100, 7, 3);
    ASSERT_EQ(load(b.bytes + nn_record()), 0);
    EXPECT_STREQ(error_string, "\nWarning: Dump file created with another version of compiler.\n");
}

TEST_F(SaveFile, SecondOfTwoRecordsIsFound)
{
    FileBuilder other;
    other.name("xx").i32(0).i32(0);
    FileBuilder b;
    b.header(2, {static_cast<int>(other.bytes.size()), static_cast<int>(nn_record().size())});
    ASSERT_EQ(load(b.bytes + other.bytes + nn_record(3)), 0);
    EXPECT_EQ(b0bcounter, 3);
    EXPECT_EQ(network_data[kW_Out_In + 7], 4007.0f);
}

struct BadCase {
    const char *what;
    std::string file;
    const char *message;
};

TEST_F(SaveFile, EveryLoaderMessageAndNothingChanges)
{
    std::vector<BadCase> cases;
    {
        FileBuilder b;
        b.name("nn").i32(1).i32(3).layer("H1", 4, 100).layer("H2", 3, 200);
        cases.push_back({"bad layer size", single_record_file(b.bytes), "\nBad layer size for H2\n"});
    }
    {
        FileBuilder b;
        b.name("nn").i32(1).i32(3).layer("H1", 4, 100).layer("H2", 2, 200).layer("Out", 4, 300).i32(1);
        b.conn("Out", "Out2", 8, 1);
        cases.push_back({"bad connection size", single_record_file(b.bytes), "\nBad layer size for Out\n"});
    }
    {
        FileBuilder b;
        b.name("nn").i32(1).i32(4);
        cases.push_back({"layer count", single_record_file(b.bytes), "\nError in reading nn\n"});
    }
    {
        FileBuilder b;
        b.name("nn").i32(1).i32(3).layer("H3", 4, 100);
        cases.push_back({"layer name", single_record_file(b.bytes), "\nUnknown layer name in file: H3\n"});
    }
    {
        FileBuilder b;
        b.name("nn").i32(1).i32(3).layer("H1", 4, 100).layer("H2", 2, 200).layer("Out", 4, 300).i32(1);
        b.conn("Out", "H16", 8, 1);
        cases.push_back({"connection", single_record_file(b.bytes), "\nUnknown connection array in file\n"});
    }
    {
        FileBuilder b;
        b.name("mm").i32(1).i32(3);
        cases.push_back({"other name", single_record_file(b.bytes), "\nUnable to find nn as nn.\n"});
    }
    b0bcounter = 12;
    const std::vector<float> before = state();
    for (const BadCase &c : cases) {
        EXPECT_EQ(load(c.file), -2) << c.what;
        EXPECT_STREQ(error_string, c.message) << c.what;
        EXPECT_EQ(b0bcounter, 12) << c.what;
        EXPECT_EQ(std::memcmp(network_data, before.data(), sizeof network_data), 0) << c.what;
    }
}

TEST_F(SaveFile, RecordCountZeroWarnsAndFindsNothing)
{
    FileBuilder b;
    b.header(0, {});
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(b.bytes), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: _alloc_mem called with 0 bytes argument. Returning NULL.\n");
    EXPECT_STREQ(error_string, "\nUnable to find nn as nn.\n");
}

TEST_F(SaveFile, EveryTruncationIsRefusedAndChangesNothing)
{
    b0bcounter = 4;
    ASSERT_EQ(nn_dump_network(path.c_str()), 0);
    const std::string full = bptest::read_file(path);
    nn_set_random_init_seed(55);
    nn_init_network();
    b0bcounter = 8;
    const std::vector<float> before = state();
    for (size_t len = 0; len < full.size(); len++) {
        const int result = load(full.substr(0, len));
        ASSERT_EQ(result, -2) << "length " << len;
        ASSERT_EQ(error_string[0], '\n') << "length " << len;
        ASSERT_EQ(b0bcounter, 8) << "length " << len;
        ASSERT_EQ(std::memcmp(network_data, before.data(), sizeof network_data), 0) << "length " << len;
    }
}

TEST_F(SaveFile, DamagedTablesAndNamesAreRefused)
{
    const std::string record = nn_record();
    std::vector<std::pair<const char *, std::string>> cases;
    {
        FileBuilder b;
        b.header(-1, {});
        cases.push_back({"negative count", b.bytes + record});
    }
    {
        FileBuilder b;
        b.header(0x7fffffff, {357});
        cases.push_back({"huge count", b.bytes + record});
    }
    {
        FileBuilder b;
        b.header(3, {0x7fffff00, 0x7fffff00, 10});
        cases.push_back({"position overflow", b.bytes + record});
    }
    {
        FileBuilder b;
        b.header(2, {100000, 357});
        cases.push_back({"position past end", b.bytes + record});
    }
    {
        FileBuilder b;
        b.header(2, {-600, 357});
        cases.push_back({"position inside header", b.bytes + record});
    }
    {
        FileBuilder b;
        b.header(1, {200});
        cases.push_back({"name without NUL", b.bytes + std::string(200, 'n')});
    }
    {
        FileBuilder b;
        b.name("nn").i32(1).i32(3).name(std::string(150, 'H')).i32(4);
        cases.push_back({"layer name without NUL", single_record_file(b.bytes)});
    }
    {
        FileBuilder b;
        b.name("nn").i32(1).i32(3).layer("H1", 4, 100).layer("H2", 2, 200).layer("Out", 4, 300).i32(2000000000);
        b.conn("Out", "Out1", 8, 6000);
        cases.push_back({"connection count beyond the file", single_record_file(b.bytes)});
    }
    const std::vector<float> before = state();
    for (const auto &[what, file] : cases) {
        EXPECT_EQ(load(file), -2) << what;
        EXPECT_EQ(error_string[0], '\n') << what;
        EXPECT_LT(std::strlen(error_string), static_cast<size_t>(NN_ERROR_SIZE)) << what;
        EXPECT_EQ(std::memcmp(network_data, before.data(), sizeof network_data), 0) << what;
    }
}

TEST_F(SaveFile, MissingFileAndLongNames)
{
    EXPECT_EQ(nn_load_network((dir + "/none.save").c_str()), -1);
    EXPECT_EQ(std::string(error_string), "\nUnable to open " + dir + "/none.save.\n");
    const std::string long_name = dir + "/" + std::string(200, 'a');
    EXPECT_EQ(nn_load_network(long_name.c_str()), -1);
    EXPECT_EQ(std::strlen(error_string), static_cast<size_t>(NN_ERROR_SIZE - 1));
    EXPECT_EQ(std::string(error_string).substr(0, 16), "\nUnable to open ");
    EXPECT_EQ(std::string(error_string).substr(NN_ERROR_SIZE - 5), "...\n");
}

TEST_F(SaveFile, OnlyRegularFilesAreRead)
{
    const std::vector<float> before = state();
    for (const std::string &name : {dir, std::string("/dev/urandom"), std::string("/dev/zero")}) {
        EXPECT_EQ(nn_load_network(name.c_str()), -2) << name;
        EXPECT_STREQ(error_string, "\nDump file is not a regular file.\n") << name;
    }
    EXPECT_EQ(std::memcmp(network_data, before.data(), sizeof network_data), 0);
}

TEST_F(SaveFile, UncreatableFileIsReported)
{
    const std::string target = dir + "/missing-folder/Network.save";
    EXPECT_EQ(nn_dump_network(target.c_str()), -1);
    EXPECT_EQ(std::string(error_string), "\nUnable to open " + target + ".\n");
    testing::internal::CaptureStderr();
    network_dump(target.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nUnable to open " + target + ".\n");
    testing::internal::CaptureStderr();
    network_load(target.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nUnable to open " + target + ".\n");
}

TEST_F(SaveFile, FailedWriteKeepsTheOldFile)
{
    ASSERT_EQ(nn_dump_network(path.c_str()), 0);
    const std::string old = bptest::read_file(path);
    // In a child limited to files of 100 bytes, the save fails and must say so.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {100, 100};
        setrlimit(RLIMIT_FSIZE, &lim);
        nn_set_random_init_seed(99);
        nn_init_network();
        const int result = nn_dump_network(path.c_str());
        const bool message = std::string(error_string) == "\nUnable to write " + path + ".\n";
        _exit(result == -1 && message ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(bptest::read_file(path), old);
    // No temporary file is left behind.
    EXPECT_EQ(system(("test $(ls -A " + dir + " | wc -l) -eq 1").c_str()), 0);
}

TEST(StartUp, VerboseBannerWithoutFile)
{
    b0bcounter = 0;
    testing::internal::CaptureStdout();
    network_initialize(nullptr, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n\nBackpropagation Learning\n\nBlack Boxes:\n\nnn (Saved at Backprop Iteration 0)");
    testing::internal::CaptureStdout();
    network_initialize(nullptr, 0);
    network_clear_delays();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(StartUp, LoadsWithBannerAndReportsIteration)
{
    const std::string dir = bptest::make_temp_dir();
    const std::string path = dir + "/n.save";
    bptest::write_file(path, single_record_file(nn_record(21), 99));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    network_initialize(path.c_str(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nLoading Saved Network: " + path +
                  "\n\nBackpropagation Learning\n\nBlack Boxes:\n\nnn (Saved at Backprop Iteration 21)");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(network_data[kOutThr], 300.0f);
    bptest::remove_tree(dir);
}

TEST(StartUpDeathTest, MissingFileIsFatal)
{
    EXPECT_EXIT(network_initialize("/nonexistent/Network.save", 0), testing::ExitedWithCode(1),
                "^\nUnable to open /nonexistent/Network.save.\n\nUnable to recover from error!\n$");
}

TEST(PlatformDeathTest, ExitAndAllocation)
{
    EXPECT_EXIT(vl_exit(7), testing::ExitedWithCode(1), "^\nUnable to recover from error!\n$");
    EXPECT_EXIT(vl_exit(-1), testing::ExitedWithCode(1), "Unable to recover");
    EXPECT_EXIT(vl_exit(0), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(vl_alloc_mem(-8), testing::ExitedWithCode(1),
                "Error: cannot allocate -8 bytes of memory!\n\nUnable to recover from error!\n$");
}

TEST(Platform, ZeroAllocationWarnsOnce)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(vl_alloc_mem(0), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: _alloc_mem called with 0 bytes argument. Returning NULL.\n");
    void *p = vl_alloc_mem(16);
    ASSERT_NE(p, nullptr);
    vl_free_mem(p);
    vl_free_mem(nullptr);
}

}  // namespace
