// PlotComposite as a process: the golden grid, and the fatal start-up paths.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

const std::string kDriver = bptest::bin_path("driver/PlotComposite");
const std::string kRecovery = "\nUnable to recover from error!\n";

class Driver : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override { dir = bptest::make_temp_dir(); }
    void TearDown() override { bptest::remove_tree(dir); }
};

TEST_F(Driver, SampleNetworkGivesTheGoldenGrid)
{
    bptest::write_file(dir + "/Network.save", bptest::read_file(bptest::data_path("sample.save")));
    const bptest::RunResult r = bptest::run({kDriver}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == bptest::read_file(bptest::data_path("sample-composite.txt")))
        << "grid differs from the golden output";
}

TEST_F(Driver, MissingSaveFileIsFatalAndPrintsNoGrid)
{
    const bptest::RunResult r = bptest::run({kDriver}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nUnable to open Network.save.\n" + kRecovery);
}

TEST_F(Driver, MalformedSaveFilesAreFatalAndPrintNoGrid)
{
    std::string sample = bptest::read_file(bptest::data_path("sample.save"));
    std::string bad_size = sample;
    bad_size[313] = 3;  // H2 record claims 3 thresholds
    const std::pair<std::string, std::string> cases[] = {
        {bad_size, "\nBad layer size for H2\n"},
        {sample.substr(0, 400), "\nDump file is truncated or damaged: connection record.\n"},
        {"", "\nDump file is truncated or damaged: header.\n"},
    };
    for (const auto &[contents, message] : cases) {
        bptest::write_file(dir + "/Network.save", contents);
        const bptest::RunResult r = bptest::run({kDriver}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message + kRecovery);
    }
}

}  // namespace
