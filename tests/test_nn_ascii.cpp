// nn-ascii as a process: show, export and import of save files, usage and failures.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "network/nn.h"
#include "reference/nn_layout.h"
#include "support/test_support.h"
#include "bpnet_version.h"

using namespace nn_layout;

namespace {

std::string tool()
{
    return bptest::bin_path("tools/nn-ascii/nn-ascii");
}

class NnAscii : public ::testing::Test {
protected:
    void SetUp() override { dir_ = bptest::make_temp_dir(); }
    void TearDown() override { bptest::remove_tree(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    bptest::RunResult run(const std::vector<std::string> &args, const std::string &input = "") const
    {
        std::vector<std::string> argv{tool()};
        argv.insert(argv.end(), args.begin(), args.end());
        return bptest::run(argv, dir_, input);
    }
    std::string dir_;
};

// Standard output of fn, captured through a file in folder dir.
template <typename Fn>
std::string capture_stdout(const std::string &dir, Fn fn)
{
    const std::string file = dir + "/captured";
    std::fflush(stdout);
    const int saved = dup(1);
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    dup2(fd, 1);
    close(fd);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    const std::string text = bptest::read_file(file);
    std::remove(file.c_str());
    return text;
}

// A network whose every value has a magnitude of at least 0.0001, saved to `file`.
void save_network(const std::string &file, int seed, int counter)
{
    nn_set_random_init_seed(seed);
    nn_set_random_init_range(0.5f);
    nn_init_network();
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++) {
            float &v = network_data[b.start + i];
            if (std::fabs(v) < 0.0001f)
                v = v < 0 ? -0.0001f : 0.0001f;
        }
    network_data[kW_Out_H1 + 3] = 1234.5678f;  // a large value too
    b0bcounter = counter;
    ASSERT_EQ(nn_dump_network(file.c_str()), 0) << error_string;
}

TEST_F(NnAscii, HelpAndVersion)
{
    const bptest::RunResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: nn-ascii COMMAND [FILE]"), std::string::npos);
    for (const char *word : {"show", "export", "import", "Network.save", "0.0001"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    EXPECT_EQ(help.err, "");

    const bptest::RunResult version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("nn-ascii (bpnet) ") + BPNET_VERSION + "\n");
}

TEST_F(NnAscii, UsageErrors)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {"list"}, {"show", "a", "b"}, {"--frobnicate"}, {"show", ""}}) {
        const bptest::RunResult r = run(args);
        EXPECT_EQ(r.status, 1) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("nn-ascii: "), std::string::npos);
        EXPECT_NE(r.err.find("--help"), std::string::npos);
    }
}

TEST_F(NnAscii, ShowAndExportPrintTheTwoForms)
{
    const std::string file = path("net.save");
    save_network(file, 7, 321);
    const std::string labelled = capture_stdout(dir_, [] { nn_ascii_dump_network(1); });
    const std::string bare = capture_stdout(dir_, [] { nn_ascii_dump_network(0); });

    // Seed and range differ from the defaults, so the output can only come from the file.
    const bptest::RunResult show = run({"show", file});
    EXPECT_EQ(show.status, 0) << show.err;
    EXPECT_EQ(show.out, labelled);
    EXPECT_EQ(show.err, "");
    EXPECT_NE(show.out.find("\nIterations: 321\n"), std::string::npos);

    const bptest::RunResult exp = run({"export", file});
    EXPECT_EQ(exp.status, 0) << exp.err;
    EXPECT_EQ(exp.out, bare);
}

TEST_F(NnAscii, DefaultFileIsNetworkSave)
{
    save_network(path("Network.save"), 11, 5);
    const std::string bare = capture_stdout(dir_, [] { nn_ascii_dump_network(0); });
    const bptest::RunResult exp = run({"export"});
    EXPECT_EQ(exp.status, 0) << exp.err;
    EXPECT_EQ(exp.out, bare);

    // import without FILE writes Network.save in the current folder.
    save_network(path("other.save"), 12, 6);
    const std::string other = bptest::read_file(path("other.save"));
    const bptest::RunResult other_text = run({"export", "other.save"});
    const bptest::RunResult imp = run({"import"}, other_text.out);
    EXPECT_EQ(imp.status, 0) << imp.err;
    EXPECT_EQ(bptest::read_file(path("Network.save")), other);
}

TEST_F(NnAscii, ExportThenImportIsByteIdentical)
{
    const std::string file = path("a.save");
    save_network(file, 123, 2147483647);
    const std::string original = bptest::read_file(file);
    ASSERT_EQ(original.size(), 633u);

    const bptest::RunResult exp = run({"export", file});
    ASSERT_EQ(exp.status, 0) << exp.err;
    const bptest::RunResult imp = run({"import", path("b.save")}, exp.out);
    ASSERT_EQ(imp.status, 0) << imp.err;
    EXPECT_EQ(imp.out, "");
    EXPECT_EQ(bptest::read_file(path("b.save")), original);

    // Importing over the original file gives it back unchanged as well.
    const bptest::RunResult again = run({"import", file}, exp.out);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(bptest::read_file(file), original);
}

TEST_F(NnAscii, EditedTextBuildsTheEditedNetwork)
{
    const std::string file = path("e.save");
    save_network(file, 3, 40);
    std::string text = run({"export", file}).out;
    // Set the first Out threshold (the first value after the count) to -0.25.
    const size_t first = text.find('\n', text.find("\n#\n") + 3) + 1;
    text.replace(first, text.find('\n', first) - first, "-0.25");
    ASSERT_EQ(run({"import", file}, text).status, 0);
    nn_init_network();
    ASSERT_EQ(nn_load_network(file.c_str()), 0) << error_string;
    EXPECT_EQ(network_data[kOutThr], -0.25f);
    EXPECT_EQ(b0bcounter, 40);
    EXPECT_NE(run({"show", file}).out.find("Node[0,0]:\n   Bias=-0.250000000000\n"), std::string::npos);
}

TEST_F(NnAscii, SmallValuesMayNotSurviveTheRoundTrip)
{
    const std::string file = path("s.save");
    save_network(file, 5, 1);
    nn_init_network();
    ASSERT_EQ(nn_load_network(file.c_str()), 0);
    network_data[kH1Thr + 2] = 1.2345678e-6f;
    ASSERT_EQ(nn_dump_network(file.c_str()), 0);
    const std::string original = bptest::read_file(file);

    const bptest::RunResult exp = run({"export", file});
    EXPECT_NE(exp.out.find("\n0.000001234568\n"), std::string::npos);
    ASSERT_EQ(run({"import", path("t.save")}, exp.out).status, 0);
    EXPECT_NE(bptest::read_file(path("t.save")), original);
    nn_init_network();
    ASSERT_EQ(nn_load_network(path("t.save").c_str()), 0);
    EXPECT_EQ(network_data[kH1Thr + 2], 1.234568e-6f);
}

TEST_F(NnAscii, FailedImportLeavesTheFileUntouched)
{
    const std::string file = path("keep.save");
    save_network(file, 9, 77);
    const std::string original = bptest::read_file(file);
    const std::string text = run({"export", file}).out;
    const std::string labelled = run({"show", file}).out;

    struct Case {
        std::string input;
        const char *message;
    };
    const std::vector<Case> cases{
        {"", "before the first \"#\""},
        {labelled, "before the first \"#\""},
        {text.substr(0, text.size() / 2), "ends after"},
        {"#\nmany\n", "iteration count"},
        {"#\n1\n0.5 0.25 oops\n", "Value 3 of 62"},
        // A whole dump, but not of this network's size: one value too few or too many.
        {text.substr(0, text.find('\n', text.find('#') + 3) + 1) + text.substr(text.find('\n', text.find('\n', text.find('#') + 3) + 1) + 1),
         "the dump holds 61 values after its iteration count, the network nn has 62"},
        {text.substr(0, text.rfind('#')) + "0.5\n#\n", "the dump holds 63 values after its iteration count, the network nn has 62"},
    };
    for (const Case &c : cases) {
        const bptest::RunResult r = run({"import", file}, c.input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("nn-ascii: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(bptest::read_file(file), original);
    }
    // No file appears when the import of a new one fails.
    EXPECT_EQ(run({"import", path("new.save")}, "").status, 1);
    EXPECT_EQ(access(path("new.save").c_str(), F_OK), -1);
}

TEST_F(NnAscii, UnwritableOrUnreadableFiles)
{
    save_network(path("ok.save"), 1, 1);
    const std::string text = run({"export", "ok.save"}).out;

    const bptest::RunResult imp = run({"import", path("no/such/dir/x.save")}, text);
    EXPECT_EQ(imp.status, 1);
    EXPECT_NE(imp.err.find("nn-ascii: Unable to open"), std::string::npos) << imp.err;

    const bptest::RunResult show = run({"show", "missing.save"});
    EXPECT_EQ(show.status, 1);
    EXPECT_EQ(show.out, "");
    EXPECT_EQ(show.err, "nn-ascii: Unable to open missing.save.\n");

    // A cut save file is refused, with nothing printed on standard output.
    const std::string whole = bptest::read_file(path("ok.save"));
    bptest::write_file(path("cut.save"), whole.substr(0, 400));
    const bptest::RunResult cut = run({"export", "cut.save"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.out, "");
    EXPECT_NE(cut.err.find("nn-ascii: "), std::string::npos);

    // Output that cannot be written is an error too.
    if (access("/dev/full", W_OK) == 0) {
        const bptest::RunResult full = bptest::run(
            {"/bin/sh", "-c", "exec \"$0\" show ok.save > /dev/full", tool()}, dir_);
        EXPECT_EQ(full.status, 1);
        EXPECT_NE(full.err.find("nn-ascii: cannot write standard output"), std::string::npos) << full.err;
    }
}

TEST_F(NnAscii, SampleSaveFileSurvivesExportAndImport)
{
    const std::string sample = bptest::data_path("sample.save");
    const bptest::RunResult exp = run({"export", sample});
    ASSERT_EQ(exp.status, 0) << exp.err;
    ASSERT_EQ(run({"import", "copy.save"}, exp.out).status, 0);
    // Every value of the sample is large enough for the text to hold it exactly.
    EXPECT_EQ(bptest::read_file(path("copy.save")), bptest::read_file(sample));
    EXPECT_EQ(run({"export", "copy.save"}).out, exp.out);
    EXPECT_EQ(run({"show", "copy.save"}).out, run({"show", sample}).out);
}

}  // namespace
