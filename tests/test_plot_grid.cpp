// The driver's grid and its output: the composite values against a direct evaluation of every
// bump for networks whose outputs spread widely, the grid text against printf even when it
// outgrows the output buffer, and write failures reported with exit status 1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "driver/PlotComposite.h"
#include "driver/PlotReference.h"
#include "network/nn.h"
#include "support/test_support.h"

namespace {

TEST(PlotGrid, EqualsTheDirectEvaluationForWidelySpreadOutputs)
{
    // Wide initial ranges drive outputs to 0 and 1, so that the spread leaves small values
    // and the bumps decide many points.
    const float ranges[] = {0.1f, 1.0f, 3.0f, 10.0f, 50.0f};
    int bump_points = 0;
    for (int seed = 1; seed <= 4; seed++) {
        for (const float range : ranges) {
            nn_set_random_init_seed(seed);
            nn_set_random_init_range(range);
            nn_init_network();
            nn_set_input(inputv);
            plot_compute_grid();

            float in[2];
            nn_set_input(in);
            const float *o = nn_get_output();
            float y = -0.1f;
            int mismatches = 0;
            for (int i = 0; i < PLOT_GRID; i++) {
                float x = -0.1f;
                for (int j = 0; j < PLOT_GRID; j++) {
                    in[0] = static_cast<float>(static_cast<double>(x) * 10.0);
                    in[1] = static_cast<float>(static_cast<double>(y) * 10.0);
                    x = x + 0.002f;
                    nn_propagate_forward();
                    const float expected = plot_reference_composite(o, x, y);
                    const float got = h123[i * PLOT_GRID + j];
                    if (!bptest::same_bits(expected, got) && ++mismatches <= 3)
                        ADD_FAILURE() << "seed " << seed << " range " << range << " point " << i << "," << j
                                      << ": " << got << " instead of " << expected;
                    bump_points += expected > 10.0f || (expected > 0.0f && expected < 1.0f);
                }
                y = y + 0.002f;
            }
        }
    }
    EXPECT_GT(bump_points, 1000);  // the bumps really decided many points
    nn_set_random_init_seed(123);
    nn_set_random_init_range(0.1f);
}

TEST(PlotGrid, TextEqualsPrintfAlsoBeyondOneBuffer)
{
    // Long lines (the largest floats) make the text several times the buffer's size.
    for (int k = 0; k < PLOT_GRID * PLOT_GRID; k++) {
        const float kinds[] = {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), 1.0f / 128,
                               -0.0f, std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(), static_cast<float>(k) * 0.37f};
        h123[k] = kinds[k % 7];
    }
    std::string expected;
    char buf[400];
    for (int i = 0; i < PLOT_GRID; i++) {
        for (int j = 0; j < PLOT_GRID; j++) {
            std::snprintf(buf, sizeof buf, "%f\n", static_cast<double>(h123[i * PLOT_GRID + j]));
            expected += buf;
        }
        expected += "\n";
    }
    ASSERT_GT(expected.size(), 1u << 17);

    const std::string dir = bptest::make_temp_dir();
    const std::string file = dir + "/grid.txt";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plot_write_grid(fd), 0);
    close(fd);
    EXPECT_TRUE(bptest::read_file(file) == expected) << "grid text differs from printf's";
    bptest::remove_tree(dir);
}

TEST(PlotGrid, FailedWriteReturnsMinusOneWithErrno)
{
    const int fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(plot_write_grid(fd), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
    errno = 0;
    EXPECT_EQ(plot_write_grid(-1), -1);
    EXPECT_EQ(errno, EBADF);
}

class DriverOutput : public ::testing::Test {
protected:
    std::string dir;
    const std::string driver = bptest::bin_path("driver/PlotComposite");
    void SetUp() override
    {
        dir = bptest::make_temp_dir();
        bptest::write_file(dir + "/Network.save", bptest::read_file(bptest::data_path("sample.save")));
    }
    void TearDown() override { bptest::remove_tree(dir); }
};

TEST_F(DriverOutput, FullDeviceIsAFatalError)
{
    const bptest::RunResult r = bptest::run({"/bin/sh", "-c", "exec \"$0\" > /dev/full", driver}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "PlotComposite: cannot write the grid to standard output: No space left on device\n");
}

TEST_F(DriverOutput, ClosedStandardOutputIsAFatalError)
{
    const bptest::RunResult r = bptest::run({"/bin/sh", "-c", "exec \"$0\" >&-", driver}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "PlotComposite: cannot write the grid to standard output: Bad file descriptor\n");
}

TEST_F(DriverOutput, GridThroughAPipeInOnePiece)
{
    // The whole grid reaches a reader that takes it in small pieces.
    const bptest::RunResult r = bptest::run({"/bin/sh", "-c", "\"$0\" | dd bs=512 2>/dev/null", driver}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == bptest::read_file(bptest::data_path("sample-composite.txt")));
}

}  // namespace
