// Forward kernels: the logistic table against the golden table, the activation kernels'
// bands and saturation, and the dot-product family's index rules.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "bp/BpSim.h"
#include "support/test_support.h"

namespace {

float sig(void (*kernel)(float *, const float *, int), float net)
{
    float a = net;
    const float t = 0.0f;
    kernel(&a, &t, 1);
    return a;
}

class ForwardKernels : public ::testing::Test {
protected:
    void SetUp() override { BPinit_sigmoid_table(); }
};

TEST_F(ForwardKernels, TableMatchesGoldenBitForBit)
{
    std::ifstream in(bptest::data_path("sigmoid-table.txt"));
    ASSERT_TRUE(in) << "missing golden table";
    int index = 0, rows = 0;
    std::string hex, dec;
    while (in >> index >> hex >> dec) {
        const float expected = std::strtof(hex.c_str(), nullptr);
        // BPsig2 returns table entry 511 + k for a net input of (k - 0.5)/64.
        const int k = index - 511;
        const float got = sig(BPsig2, static_cast<float>((k - 0.5) / 64.0));
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << "entry " << index;
        rows++;
    }
    EXPECT_EQ(rows, 1024);
}

TEST_F(ForwardKernels, Sig1BandsAndSaturation)
{
    EXPECT_EQ(sig(BPsig1, 0.0f), 0.498046875f);
    EXPECT_EQ(sig(BPsig1, 1.0f / 128), 0.501953125f);
    EXPECT_EQ(sig(BPsig1, -1.0f / 64), 0.498046875f);
    EXPECT_NEAR(sig(BPsig1, -0.0234375f), 0.49414089f, 1e-7);
    const float up = sig(BPsig1, 1.0f), down = sig(BPsig1, -1.0f);
    EXPECT_NEAR(up, 0.72951978f, 1e-7);
    EXPECT_NEAR(down, 0.27048022f, 1e-7);
    EXPECT_EQ(static_cast<double>(up) + down, 1.0);
    EXPECT_NEAR(sig(BPsig1, 7.9999f), 0.99966204f, 1e-7);
    EXPECT_EQ(sig(BPsig1, 8.0f), 0.999999f);
    EXPECT_EQ(sig(BPsig1, -8.0f), 0.000001f);
    EXPECT_EQ(sig(BPsig1, INFINITY), 0.999999f);
    EXPECT_EQ(sig(BPsig1, -INFINITY), 0.000001f);
    EXPECT_NEAR(sig(BPsig1, -7.99f), 0.00034329f, 1e-8);
}

TEST_F(ForwardKernels, Sig2Sig3AndSaturation)
{
    EXPECT_NEAR(sig(BPsig2, 0.0f), -0.0019531151f, 1e-9);
    EXPECT_NEAR(sig(BPsig3, 0.0f), -0.0039062302f, 1e-9);
    EXPECT_EQ(sig(BPsig2, 9.0f), 0.499999f);
    EXPECT_EQ(sig(BPsig2, -9.0f), -0.499999f);
    EXPECT_EQ(sig(BPsig3, 8.0f), 0.999998f);
    EXPECT_EQ(sig(BPsig3, -8.0f), -0.999998f);
    EXPECT_EQ(sig(BPsig3, 0.5f), 2.0f * sig(BPsig2, 0.5f));
}

TEST_F(ForwardKernels, ThresholdsAreAddedBeforeSaturation)
{
    float a[2] = {7.5f, 7.5f};
    const float t[2] = {0.5f, 0.4f};
    BPsig1(a, t, 2);
    EXPECT_EQ(a[0], 0.999999f);
    EXPECT_NEAR(a[1], 0.99963f, 1e-5);
    EXPECT_NE(a[1], 0.999999f);
}

TEST_F(ForwardKernels, NaNNetInputGivesNaN)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (auto kernel : {BPsig1, BPsig2, BPsig3})
        EXPECT_TRUE(std::isnan(sig(kernel, nan)));
}

TEST_F(ForwardKernels, LinearQuadraticUser)
{
    float a[2] = {1.5f, -3.0f}, z[2] = {0, 0};
    const float t[2] = {0.5f, 0.0f};
    BPlinear(a, t, 2);
    EXPECT_EQ(a[0], 2.0f);
    EXPECT_EQ(a[1], -3.0f);
    BPquadratic(a, z, t, 2);
    EXPECT_EQ(z[0], 2.5f);
    EXPECT_EQ(a[0], 6.25f);
    EXPECT_EQ(z[1], -3.0f);
    EXPECT_EQ(a[1], 9.0f);
    float b[3] = {1, 2, 3}, zb[3];
    const float tb[3] = {0, 0, 1};
    BPuser(b, zb, tb, 3, [](float v) { return -v; });
    EXPECT_EQ(b[0], -1.0f);
    EXPECT_EQ(b[2], -4.0f);
    EXPECT_EQ(zb[2], 4.0f);
}

// The rectifier and its derivative against their definitions, bit for bit, over floats of
// every kind (random bit patterns: tiny, subnormal, huge, infinite, NaN) and +-0, the smallest
// subnormal and the largest float: v = a + t rounded once, a = v above 0, +0 at and below it,
// a NaN kept; the derivative passes e above 0 and multiplies it by 0 elsewhere, whatever the
// offset.
TEST(ReluKernels, ForwardAndDerivativeFollowTheirDefinitions)
{
    std::mt19937 rng(5);
    constexpr int n = 4096;
    const auto random_float = [&] {
        const float special[] = {0.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()};
        const float f = rng() % 4 == 0 ? special[rng() % 3] : std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        return rng() % 2 == 0 ? f : -f;
    };
    std::vector<float> a(n), t(n), e(n), want(n), dwant(n);
    for (int i = 0; i < n; i++) {
        a[i] = random_float();
        t[i] = rng() % 2 == 0 ? (rng() % 2 == 0 ? 0.0f : -0.0f) : random_float();  // -0 + -0 is -0
        e[i] = random_float();
        const float v = static_cast<float>(static_cast<double>(a[i]) + static_cast<double>(t[i]));
        want[i] = std::isnan(v) ? v : v > 0.0f ? v : 0.0f;
        dwant[i] = want[i] > 0.0f ? e[i] : 0.0f * e[i];
    }
    BPrelu(a.data(), t.data(), n);
    EXPECT_EQ(std::memcmp(a.data(), want.data(), n * sizeof(float)), 0);
    for (const float off : {0.0f, 0.03f}) {
        std::vector<float> d = e;
        BPderiv_relu(a.data(), d.data(), n, off);
        for (int i = 0; i < n; i++)
            ASSERT_TRUE(bptest::same_bits(d[i], dwant[i]) || (std::isnan(d[i]) && std::isnan(dwant[i])))
                << "a " << a[i] << ", e " << e[i] << ": " << d[i] << ", not " << dwant[i];
    }
}

// Softmax units over random layers: the activations within 2 float ulps of the definition in
// the math library's exponential, summing to 1 within n float ulps, unchanged by a shift of
// every net input that is exact in float (so that only the differences count), and zero for
// -inf among finite net inputs; a NaN or +inf net input anywhere makes the whole layer NaN.
TEST(SoftmaxKernels, FollowTheDefinitionAndPropagateNaN)
{
    std::mt19937 rng(6);
    std::uniform_real_distribution<float> net(-30.0f, 30.0f);
    for (int trial = 0; trial < 2000; trial++) {
        const int n = 1 + static_cast<int>(rng() % 12);
        std::vector<float> a(n), t(n), shifted(n), want(n);
        double total = 0.0;
        for (int i = 0; i < n; i++) {
            a[i] = std::round(net(rng) * 64.0f) / 64.0f;
            t[i] = std::round(net(rng) * 64.0f) / 64.0f;
            shifted[i] = a[i] + 16.0f;
            total += std::exp(static_cast<double>(a[i]) + t[i]);
        }
        for (int i = 0; i < n; i++)
            want[i] = static_cast<float>(std::exp(static_cast<double>(a[i]) + t[i]) / total);
        BPsoftmax(a.data(), t.data(), n);
        BPsoftmax(shifted.data(), t.data(), n);
        double sum = 0.0;
        for (int i = 0; i < n; i++) {
            sum += a[i];
            ASSERT_LE(std::fabs(a[i] - want[i]), 2.0f * std::nextafter(want[i], 2.0f) - 2.0f * want[i]) << n;
            ASSERT_TRUE(bptest::same_bits(a[i], shifted[i])) << n << " " << i;
        }
        EXPECT_NEAR(sum, 1.0, n * 0x1p-24);
    }
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    float minus_inf[3] = {1.0f, -inf, 1.0f};
    BPsoftmax(minus_inf, zero, 3);
    EXPECT_EQ(minus_inf[0], 0.5f);
    EXPECT_TRUE(bptest::same_bits(minus_inf[1], 0.0f));
    for (const float bad : {nan, inf}) {
        for (int at = 0; at < 3; at++) {
            float v[3] = {1.0f, 2.0f, 3.0f};
            v[at] = bad;
            BPsoftmax(v, zero, 3);
            for (const float x : v)
                EXPECT_TRUE(std::isnan(x)) << bad << " at " << at;
        }
    }
}

TEST_F(ForwardKernels, CountZeroWritesNothing)
{
    float a[1] = {42.0f}, z[1] = {7.0f};
    const float t[1] = {1.0f}, W[1] = {1.0f}, x[1] = {1.0f};
    BPsig1(a, t, 0);
    BPquadratic(a, z, t, 0);
    BPlvdot(W, x, 1, a, 1, 0);
    EXPECT_EQ(a[0], 42.0f);
    EXPECT_EQ(z[0], 7.0f);
    EXPECT_EQ(BPvdot(W, x, 0), 0.0f);
}

TEST(DotKernels, OverlapSelectsReceptiveFields)
{
    const float x[6] = {1, 2, 3, 4, 5, 6};
    const float W[6] = {1, 10, 100, 1000, 10000, 100000};
    float d[3];
    // Full connection: every unit reads x[0..1].
    BPlvdot(W, x, 2, d, 2, 3);
    EXPECT_EQ(d[0], 21.0f);
    EXPECT_EQ(d[1], 2100.0f);
    EXPECT_EQ(d[2], 210000.0f);
    // No overlap: unit i reads x[2i .. 2i+1].
    BPlvdot(W, x, 0, d, 2, 3);
    EXPECT_EQ(d[0], 1 + 20.0f);
    EXPECT_EQ(d[1], 300 + 4000.0f);
    EXPECT_EQ(d[2], 50000 + 600000.0f);
    // Overlap 1: fields slide by one.
    BPlvdot_share(W, x, 1, d, 2, 3);
    EXPECT_EQ(d[0], 21.0f);
    EXPECT_EQ(d[1], 32.0f);
    EXPECT_EQ(d[2], 43.0f);
    BPlvdot_share_sum(W, x, 1, d, 2, 3);
    EXPECT_EQ(d[2], 86.0f);
    BPlvdot(W, x, 2, d, 2, 3);
    BPlvdot_sum(W, x, 2, d, 2, 3);
    EXPECT_EQ(d[1], 4200.0f);
    EXPECT_EQ(BPvdot(W, x, 3), 321.0f);
}

TEST(DotKernels, SumsInDoubleAndRoundsOnce)
{
    // 2^24 + 1 + 1 is not representable on the way in float, but is in double.
    const float W[3] = {16777216.0f, 1.0f, 1.0f};
    const float x[3] = {1.0f, 1.0f, 1.0f};
    float d = 0.0f;
    BPlvdot(W, x, 3, &d, 3, 1);
    EXPECT_EQ(d, 16777218.0f);
    float acc = 16777216.0f;
    const float one[2] = {1.0f, 1.0f};
    BPlvdot_sum(one, one, 2, &acc, 2, 1);
    EXPECT_EQ(acc, 16777218.0f);
}

// Straightforward reference of the two-dimensional kernels from their index formulas.
void reference2d(int U, int R, int KW, int KH, const std::vector<float> &W, const std::vector<float> &x,
                 std::vector<float> &d, int ov, int WS, int S, int B, bool shared)
{
    for (int r = 0; r < R; r++)
        for (int j = 0; j < KH; j++)
            for (int u = 0; u < U; u++) {
                double p = 0;
                for (int k = 0; k < KW; k++) {
                    const int w = shared ? j * KW + k : (r * KH + j) * WS + u * KW + k;
                    p += static_cast<double>(W[w]) * x[r * (KH * S - B) + j * S + u * (KW - ov) + k];
                }
                d[r * U + u] = static_cast<float>(d[r * U + u] + p);
            }
}

TEST(DotKernels, TwoDimensionalWithOverlapRewindAndStride)
{
    const int U = 3, R = 2, KW = 3, KH = 2, ov = 1, S = 8, B = 8, WS = 11;  // WS > U*KW: padded rows
    std::vector<float> x(64), W(64);
    for (size_t i = 0; i < x.size(); i++) {
        x[i] = static_cast<float>(std::sin(i * 0.7) * 3.1);
        W[i] = static_cast<float>(std::cos(i * 1.3) * 0.37);
    }
    std::vector<float> d(U * R, 0.25f), ref(U * R, 0.25f);
    BPlvdot2d(U, R, KW, KH, W.data(), x.data(), d.data(), ov, WS, S, B);
    reference2d(U, R, KW, KH, W, x, ref, ov, WS, S, B, false);
    EXPECT_EQ(d, ref);
    // It never clears d: a second call adds again.
    BPlvdot2d(U, R, KW, KH, W.data(), x.data(), d.data(), ov, WS, S, B);
    reference2d(U, R, KW, KH, W, x, ref, ov, WS, S, B, false);
    EXPECT_EQ(d, ref);

    std::vector<float> ds(U * R, 0.0f), refs(U * R, 0.0f);
    BPlvdot2d_share(U, R, KW, KH, W.data(), x.data(), ds.data(), ov, S, B);
    reference2d(U, R, KW, KH, W, x, refs, ov, 0, S, B, true);
    EXPECT_EQ(ds, refs);
}

TEST(DotKernels, TwoDimensionalRoundsPerFieldRow)
{
    // Two field rows each adding 1 to 2^24: rounded after each row, the sum stays 2^24.
    const float W[2] = {1.0f, 1.0f};
    const float x[2] = {1.0f, 1.0f};
    float d = 16777216.0f;
    BPlvdot2d(1, 1, 1, 2, W, x, &d, 0, 1, 1, 0);
    EXPECT_EQ(d, 16777216.0f);
}

}  // namespace
