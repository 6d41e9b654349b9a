// Detection statistics (network_forward_pdpfa) and the per-pattern trace (network_forward_print):
// the exact text on standard output, the hit test, and the refusals.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/nn.h"

namespace {

// Run f with file descriptor fd (1 or 2) sent to a temporary file; return what was written.
std::string capture_fd(int fd, const std::function<void()> &f)
{
    std::FILE *stream = fd == 1 ? stdout : stderr;
    std::fflush(stream);
    std::FILE *tmp = std::tmpfile();
    if (tmp == nullptr)
        throw std::runtime_error("tmpfile failed");
    const int saved = dup(fd);
    dup2(fileno(tmp), fd);
    f();
    std::fflush(stream);
    dup2(saved, fd);
    close(saved);
    std::string text;
    std::rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        text.append(buf, n);
    std::fclose(tmp);
    return text;
}

std::string capture_stdout(const std::function<void()> &f)
{
    return capture_fd(1, f);
}

// The pattern source: pattern k has inputs spread over [-1, 1) and a one-hot target of class k mod 4.
float g_input[2];
float g_target[4];
unsigned g_calls = 0;

void pattern_at(unsigned k, float *in, float *target)
{
    in[0] = static_cast<float>((k * 37u) % 101u) / 50.0f - 1.0f;
    in[1] = static_cast<float>((k * 53u) % 97u) / 48.0f - 1.0f;
    for (unsigned j = 0; j < 4; j++)
        target[j] = j == k % 4 ? 1.0f : 0.0f;
}

void next_pattern()
{
    pattern_at(g_calls++, g_input, g_target);
}

// The outputs of the first count patterns, each from its own forward pass.
std::vector<std::array<float, 4>> outputs_of(unsigned count)
{
    std::vector<std::array<float, 4>> result(count);
    for (unsigned k = 0; k < count; k++) {
        pattern_at(k, g_input, g_target);
        nn_propagate_forward();
        std::memcpy(result[k].data(), nn_get_output(), sizeof(float) * 4);
    }
    return result;
}

std::string format(const char *fmt, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// The report expected for the first count patterns, from their outputs, with float running sums
// (or, to show that the difference is visible, double ones).
std::string expected_report(unsigned count, float threshold, bool float_sums = true)
{
    const auto outs = outputs_of(count);
    std::string maxima, minima, means, variances;
    int hits = 0;
    const float n = static_cast<float>(count);
    for (int j = 0; j < 4; j++) {
        double hi = -FLT_MAX, lo = FLT_MAX;
        float sum = 0, squares = 0;
        double wide_sum = 0, wide_squares = 0;
        for (const auto &o : outs) {
            hi = std::max(hi, static_cast<double>(o[j]));
            lo = std::min(lo, static_cast<double>(o[j]));
            sum = static_cast<float>(static_cast<double>(sum) + o[j]);
            squares = static_cast<float>(static_cast<double>(squares) + static_cast<double>(o[j]) * o[j]);
            wide_sum += o[j];
            wide_squares += static_cast<double>(o[j]) * o[j];
        }
        const double s = float_sums ? sum : wide_sum;
        const double q = float_sums ? squares : wide_squares;
        const float mean = static_cast<float>(s / n);
        maxima += format("%f ", hi);
        minima += format("%f ", lo);
        means += format("%f ", mean);
        variances += format("%f ", q / n - static_cast<double>(mean) * mean);
    }
    const float threshold_sq = static_cast<float>(static_cast<double>(threshold) * threshold);
    for (unsigned k = 0; k < count; k++) {
        float in[2], target[4];
        pattern_at(k, in, target);
        double e = 0;
        for (int j = 0; j < 4; j++)
            e += (static_cast<double>(outs[k][j]) - target[j]) * (static_cast<double>(outs[k][j]) - target[j]);
        if (e < threshold_sq)
            hits++;
    }
    const int c = static_cast<int>(count);
    char tail[160];
    std::snprintf(tail, sizeof tail, "\n\nPd = %d/%d = %f\nPfa = %d/%d = %f", hits, c, hits / static_cast<double>(n),
                  c - hits, c, (c - hits) / static_cast<double>(n));
    return "\n\nnn:\nMaxima: " + maxima + "\nMinima: " + minima + "\nMeans: " + means + "\nVariances: " + variances +
           tail;
}

std::string run_pdpfa(unsigned count, float threshold)
{
    g_calls = 0;
    return capture_stdout([&] { network_forward_pdpfa(count, next_pattern, threshold); });
}

std::string run_print(int count)
{
    g_calls = 0;
    return capture_stdout([&] { network_forward_print(count, next_pattern); });
}

// A network whose weights are all 0 and whose outputs saturate at 0.999999, 0.000001,
// 0.999999, 0.000001 whatever the input.
void saturate_outputs()
{
    nn_set_random_init_range(0.0f);
    ASSERT_EQ(nn_init_network(), 0);
    network_data[38] = 10.0f;
    network_data[39] = -10.0f;
    network_data[40] = 10.0f;
    network_data[41] = -10.0f;
}

// Targets equal to the saturated outputs, except target 0, which is off by `offset`.
float g_offset = 0.0f;
void saturated_pattern()
{
    g_calls++;
    g_input[0] = 0.5f;
    g_input[1] = -0.5f;
    g_target[0] = 0.999999f - g_offset;
    g_target[1] = 0.000001f;
    g_target[2] = 0.999999f;
    g_target[3] = 0.000001f;
}

std::string saturated_pdpfa(unsigned count, float threshold, float offset)
{
    g_calls = 0;
    g_offset = offset;
    return capture_stdout([&] { network_forward_pdpfa(count, saturated_pattern, threshold); });
}

const std::string kSaturatedHead =
    "\n\nnn:"
    "\nMaxima: 0.999999 0.000001 0.999999 0.000001 "
    "\nMinima: 0.999999 0.000001 0.999999 0.000001 "
    "\nMeans: 0.999999 0.000001 0.999999 0.000001 "
    // The stored float mean, squared in double, exceeds the float sum of squares by a hair.
    "\nVariances: -0.000000 0.000000 -0.000000 0.000000 ";

class Report : public ::testing::Test {
protected:
    void SetUp() override
    {
        nn_set_random_init_seed(7);
        nn_set_random_init_range(4.0f);
        ASSERT_EQ(nn_init_network(), 0);
        nn_set_input(g_input);
        nn_set_target_output(g_target);
    }
    void TearDown() override
    {
        nn_set_random_init_seed(123);
        nn_set_random_init_range(0.1f);
    }
};

}  // namespace

TEST_F(Report, PdpfaTextForSeveralCounts)
{
    for (unsigned count : {1u, 2u, 5u, 37u, 400u}) {
        for (float threshold : {0.5f, 1.0f, 0.9f}) {
            const std::string expected = expected_report(count, threshold);
            EXPECT_EQ(run_pdpfa(count, threshold), expected) << count << " patterns, threshold " << threshold;
            EXPECT_EQ(g_calls, count);
        }
    }
}

TEST_F(Report, PdpfaRunningSumsAreFloat)
{
    // Over many patterns, float running sums drift visibly from double ones.
    const unsigned count = 200000;
    const std::string expected = expected_report(count, 0.8f);
    ASSERT_NE(expected, expected_report(count, 0.8f, false));
    EXPECT_EQ(run_pdpfa(count, 0.8f), expected);
}

TEST_F(Report, PdpfaOnePatternHasEqualExtremesAndMean)
{
    const std::string text = run_pdpfa(1, 0.5f);
    const auto line = [&](const std::string &head) {
        const size_t at = text.find(head);
        return at == std::string::npos ? std::string() : text.substr(at + head.size(), text.find('\n', at + 1) - at - head.size());
    };
    ASSERT_FALSE(line("\nMaxima: ").empty());
    EXPECT_EQ(line("\nMaxima: "), line("\nMinima: "));
    EXPECT_EQ(line("\nMaxima: "), line("\nMeans: "));
}

TEST_F(Report, PdpfaSaturatedOutputsExactly)
{
    saturate_outputs();
    EXPECT_EQ(saturated_pdpfa(2, 0.5f, 0.0f), kSaturatedHead + "\n\nPd = 2/2 = 1.000000\nPfa = 0/2 = 0.000000");
    // Outputs equal to their targets are no hit at threshold 0: 0 is not smaller than 0.
    EXPECT_EQ(saturated_pdpfa(2, 0.0f, 0.0f), kSaturatedHead + "\n\nPd = 0/2 = 0.000000\nPfa = 2/2 = 1.000000");
    EXPECT_EQ(g_calls, 2u);
}

TEST_F(Report, PdpfaExactlyAtTheThresholdDistanceIsNoHit)
{
    saturate_outputs();
    // Target 0 lies exactly 0.5 below output 0 (0.999999 - 0.5 is exact in float).
    const std::string miss = "\n\nPd = 0/3 = 0.000000\nPfa = 3/3 = 1.000000";
    const std::string hit = "\n\nPd = 3/3 = 1.000000\nPfa = 0/3 = 0.000000";
    auto tail = [](const std::string &s) { return s.substr(s.find("\n\nPd")); };
    EXPECT_EQ(tail(saturated_pdpfa(3, 0.5f, 0.5f)), miss);
    EXPECT_EQ(tail(saturated_pdpfa(3, 0.50001f, 0.5f)), hit);
    // Only the square of the threshold counts: a negative one acts as its magnitude.
    EXPECT_EQ(tail(saturated_pdpfa(3, -0.5f, 0.5f)), miss);
    EXPECT_EQ(tail(saturated_pdpfa(3, -0.50001f, 0.5f)), hit);
    EXPECT_EQ(saturated_pdpfa(3, -0.75f, 0.5f), saturated_pdpfa(3, 0.75f, 0.5f));
}

TEST_F(Report, PdpfaNegativeThresholdEqualsPositive)
{
    for (unsigned count : {3u, 50u})
        EXPECT_EQ(run_pdpfa(count, -0.9f), run_pdpfa(count, 0.9f));
}

TEST_F(Report, PdpfaCountsAlwaysAddUp)
{
    for (float threshold : {0.2f, 0.7f, 1.0f, 1.3f}) {
        const std::string text = run_pdpfa(97, threshold);
        int hits = -1, n1 = -1, misses = -1, n2 = -1;
        const size_t at = text.find("\n\nPd = ");
        ASSERT_NE(at, std::string::npos);
        ASSERT_EQ(std::sscanf(text.c_str() + at, "\n\nPd = %d/%d = %*f\nPfa = %d/%d", &hits, &n1, &misses, &n2), 4);
        EXPECT_EQ(hits + misses, 97);
        EXPECT_EQ(n1, 97);
        EXPECT_EQ(n2, 97);
    }
}

TEST_F(Report, NothingForZeroPatterns)
{
    EXPECT_EQ(run_pdpfa(0, 0.5f), "");
    EXPECT_EQ(g_calls, 0u);
    EXPECT_EQ(run_print(0), "");
    EXPECT_EQ(run_print(-1), "");
    EXPECT_EQ(run_print(-2147483647 - 1), "");
    EXPECT_EQ(g_calls, 0u);
}

TEST_F(Report, PdpfaRefusesCountsBeyondInt)
{
    for (unsigned count : {2147483648u, 4294967295u}) {
        std::string out;
        const std::string err = capture_fd(2, [&] { out = run_pdpfa(count, 0.5f); });
        EXPECT_EQ(out, "");
        EXPECT_EQ(g_calls, 0u);
        EXPECT_NE(err.find("too large"), std::string::npos) << err;
    }
}

TEST_F(Report, NoPatternFunctionOrTargetIsRefused)
{
    std::string out;
    std::string err = capture_fd(2, [&] {
        out = capture_stdout([] {
            network_forward_pdpfa(3, nullptr, 0.5f);
            network_forward_print(3, nullptr);
        });
    });
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("network_forward_pdpfa: no pattern function"), std::string::npos) << err;
    EXPECT_NE(err.find("network_forward_print: no pattern function"), std::string::npos) << err;

    nn_set_target_output(nullptr);
    err = capture_fd(2, [&] { out = run_pdpfa(3, 0.5f) + run_print(3); });
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("no target vector"), std::string::npos) << err;
    nn_set_target_output(g_target);
}

TEST_F(Report, TraceText)
{
    const auto outs = outputs_of(3);
    std::string expected;
    for (int i = 0; i < 3; i++) {
        float in[2], target[4];
        pattern_at(static_cast<unsigned>(i), in, target);
        char block[256];
        std::snprintf(block, sizeof block,
                      "\nIteration: %d\nblack box nn:\n\tOutputs: %f %f %f %f\n\tTargets: %f %f %f %f", i,
                      static_cast<double>(outs[i][0]), static_cast<double>(outs[i][1]),
                      static_cast<double>(outs[i][2]), static_cast<double>(outs[i][3]),
                      static_cast<double>(target[0]), static_cast<double>(target[1]),
                      static_cast<double>(target[2]), static_cast<double>(target[3]));
        expected += block;
    }
    EXPECT_EQ(run_print(3), expected);
    EXPECT_EQ(g_calls, 3u);
    // The activations of the last pattern stay in place.
    EXPECT_EQ(std::memcmp(nn_get_output(), outs[2].data(), sizeof(float) * 4), 0);
}

TEST_F(Report, TraceOfSaturatedNetworkLiterally)
{
    saturate_outputs();
    g_offset = 0.25f;
    g_calls = 0;
    const std::string text = capture_stdout([] { network_forward_print(2, saturated_pattern); });
    EXPECT_EQ(text,
              "\nIteration: 0\nblack box nn:\n\tOutputs: 0.999999 0.000001 0.999999 0.000001"
              "\n\tTargets: 0.749999 0.000001 0.999999 0.000001"
              "\nIteration: 1\nblack box nn:\n\tOutputs: 0.999999 0.000001 0.999999 0.000001"
              "\n\tTargets: 0.749999 0.000001 0.999999 0.000001");
}

namespace {

// The target vector is looked up afresh for every pattern: a pattern function may re-point it.
float g_other_target[4] = {0.125f, 0.25f, 0.375f, 0.5f};
void alternate_targets()
{
    next_pattern();
    nn_set_target_output(g_calls % 2 == 0 ? g_other_target : g_target);
}

}  // namespace

TEST_F(Report, TargetsAreReadWhereThePatternFunctionPutThem)
{
    g_calls = 0;
    const std::string text = capture_stdout([] { network_forward_print(2, alternate_targets); });
    EXPECT_NE(text.find("Iteration: 0\nblack box nn:\n\tOutputs:"), std::string::npos);
    EXPECT_NE(text.find("\n\tTargets: 1.000000 0.000000 0.000000 0.000000\nIteration: 1"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\n\tTargets: 0.125000 0.250000 0.375000 0.500000"), std::string::npos) << text;
    nn_set_target_output(g_target);
}

namespace {

// A pattern with a NaN input: its outputs are NaN, which leaves the extremes alone and is no hit.
void nan_then_normal()
{
    if (g_calls == 0) {
        g_calls++;
        g_input[0] = std::numeric_limits<float>::quiet_NaN();
        g_input[1] = 0.0f;
        for (float &t : g_target)
            t = 0.5f;
        return;
    }
    pattern_at(g_calls - 1, g_input, g_target);
    g_calls++;
}

}  // namespace

TEST_F(Report, NotANumberOutputsLeaveExtremesAndAreNoHit)
{
    const auto outs = outputs_of(1);
    g_calls = 0;
    const std::string text = capture_stdout([] { network_forward_pdpfa(2, nan_then_normal, 100.0f); });
    char maxima[128];
    std::snprintf(maxima, sizeof maxima, "\nMaxima: %f %f %f %f \nMinima: %f %f %f %f \n",
                  static_cast<double>(outs[0][0]), static_cast<double>(outs[0][1]), static_cast<double>(outs[0][2]),
                  static_cast<double>(outs[0][3]), static_cast<double>(outs[0][0]), static_cast<double>(outs[0][1]),
                  static_cast<double>(outs[0][2]), static_cast<double>(outs[0][3]));
    EXPECT_NE(text.find(maxima), std::string::npos) << text;
    EXPECT_NE(text.find("\n\nPd = 1/2 = 0.500000\nPfa = 1/2 = 0.500000"), std::string::npos) << text;
    // The NaN still goes into the sums.
    const size_t means = text.find("\nMeans: ");
    ASSERT_NE(means, std::string::npos);
    EXPECT_NE(text.substr(means, text.find('\n', means + 1) - means).find("nan"), std::string::npos) << text;
}
