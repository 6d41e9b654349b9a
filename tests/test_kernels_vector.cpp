// Element-wise vector kernels: clipping, scaled differences, products and scaled copies.
#include "bp/BpSim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using Vec = std::vector<float>;

constexpr float p2(int e) { return e >= 0 ? static_cast<float>(1ull << e) : 1.0f / static_cast<float>(1ull << -e); }

// Deterministic values of mixed magnitude and sign.
Vec sample(int n, unsigned seed)
{
    Vec v(n);
    unsigned s = seed * 2654435761u + 12345u;
    for (auto &x : v) {
        s = s * 1103515245u + 12345u;
        const float mant = static_cast<float>((s >> 8) & 0xFFFF) / 65536.0f + 0.1f;
        const int ex = static_cast<int>((s >> 4) % 7) - 3;
        x = std::ldexp((s & 1) ? -mant : mant, ex);
    }
    return v;
}

TEST(VectorClip, ClipsStrictlyAndLeavesBoundsAlone)
{
    Vec v = {-2, -1, 0.5f, 1, 3};
    BPvclip(v.data(), -1, 1, 5);
    EXPECT_EQ(v, (Vec{-1, -1, 0.5f, 1, 1}));
}

TEST(VectorClip, ValueEqualToABoundIsNotRewritten)
{
    // -0 equals a lower bound of +0 and +0 an upper bound of -0: both keep their own sign.
    Vec v = {-0.0f, 0.0f};
    BPvclip(v.data(), 0.0f, 1.0f, 1);
    BPvclip(v.data() + 1, -1.0f, -0.0f, 1);
    EXPECT_TRUE(std::signbit(v[0]));
    EXPECT_FALSE(std::signbit(v[1]));
}

TEST(VectorClip, InvertedBoundsTestLowerFirst)
{
    Vec v = {0.5f, 2, -3};
    BPvclip(v.data(), 1, 0, 3);
    EXPECT_EQ(v, (Vec{1, 0, 1}));
}

TEST(VectorClip, NaNStaysAndBoundsAreWrittenAsPassed)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Vec v = {nan, -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()};
    BPvclip(v.data(), -0.3f, 0.7f, 3);
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_EQ(v[1], -0.3f);
    EXPECT_EQ(v[2], 0.7f);
}

TEST(VectorSubSmulSum, WorkedExample)
{
    Vec d = {1}, a = {3}, b = {1};
    BPvsubsmulsum(d.data(), a.data(), b.data(), 0.5f, 1);
    EXPECT_EQ(d[0], 2.0f);
}

TEST(VectorSubSmulSum, DifferenceIsNotRoundedBeforeScaling)
{
    // 1 - 2^-30 rounds to 1 in float; kept wide it survives the cancellation against d.
    Vec d = {-p2(20)}, a = {1}, b = {p2(-30)};
    BPvsubsmulsum(d.data(), a.data(), b.data(), p2(20), 1);
    EXPECT_EQ(d[0], -p2(-10));
}

TEST(VectorProducts, SumFormsRoundOnceAfterAdding)
{
    // (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24: the last term is lost if the product is rounded first.
    const float x = 1.0f + p2(-12);
    Vec d = {-1}, a = {x}, b = {x};
    BPvmul_sum(d.data(), a.data(), b.data(), 1);
    EXPECT_EQ(d[0], p2(-11) + p2(-24));

    d = {-1};
    BPvsmul_sum(d.data(), a.data(), x, 1);
    EXPECT_EQ(d[0], p2(-11) + p2(-24));

    d = {-1};
    const Vec s = {x};
    BPlvsmul_sum(d.data(), a.data(), s.data(), 1, 1);
    EXPECT_EQ(d[0], p2(-11) + p2(-24));
}

TEST(VectorProducts, MatchWideReferenceElementByElement)
{
    const int n = 37;
    const Vec a = sample(n, 1), b = sample(n, 2), d0 = sample(n, 3);
    const float s = -1.7f;
    Vec mul(n, 99.0f), mulsum = d0, smul(n, 99.0f), smulsum = d0, sub = d0;
    BPvmul(mul.data(), a.data(), b.data(), n);
    BPvmul_sum(mulsum.data(), a.data(), b.data(), n);
    BPvsmul(smul.data(), a.data(), s, n);
    BPvsmul_sum(smulsum.data(), a.data(), s, n);
    BPvsubsmulsum(sub.data(), a.data(), b.data(), s, n);
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(i);
        const double A = a[i], Bv = b[i], D = d0[i], Sc = s;
        EXPECT_EQ(mul[i], static_cast<float>(A * Bv));
        EXPECT_EQ(mulsum[i], static_cast<float>(A * Bv + D));
        EXPECT_EQ(smul[i], static_cast<float>(Sc * A));
        EXPECT_EQ(smulsum[i], static_cast<float>(Sc * A + D));
        EXPECT_EQ(sub[i], static_cast<float>((A - Bv) * Sc + D));
    }
}

TEST(VectorProducts, InPlaceProductReadsBeforeWriting)
{
    Vec a = {2, 3, -4};
    const Vec b = {0.5f, 2, 0.25f};
    BPvmul(a.data(), a.data(), b.data(), 3);
    EXPECT_EQ(a, (Vec{1, 6, -1}));
    BPvsmul(a.data(), a.data(), 3, 3);
    EXPECT_EQ(a, (Vec{3, 18, -3}));
}

TEST(VectorRowScale, WorkedExampleAndSumDoubles)
{
    const Vec M = {1, 2, 3, 4}, s = {10, 100};
    Vec d(4, -7.0f);
    BPlvsmul(d.data(), M.data(), s.data(), 2, 2);
    EXPECT_EQ(d, (Vec{10, 20, 300, 400}));
    BPlvsmul_sum(d.data(), M.data(), s.data(), 2, 2);
    EXPECT_EQ(d, (Vec{20, 40, 600, 800}));
}

TEST(VectorRowScale, EachRowUsesItsOwnScale)
{
    const int cols = 5, rows = 4;
    const Vec M = sample(cols * rows, 4), s = sample(rows, 5), d0 = sample(cols * rows, 6);
    Vec d(cols * rows), dsum = d0;
    BPlvsmul(d.data(), M.data(), s.data(), cols, rows);
    BPlvsmul_sum(dsum.data(), M.data(), s.data(), cols, rows);
    for (int r = 0; r < rows; r++)
        for (int j = 0; j < cols; j++) {
            const int i = r * cols + j;
            EXPECT_EQ(d[i], static_cast<float>(static_cast<double>(s[r]) * M[i]));
            EXPECT_EQ(dsum[i], static_cast<float>(static_cast<double>(s[r]) * M[i] + d0[i]));
        }
}

TEST(VectorKernels, CountZeroTouchesNothing)
{
    const Vec a = {1, 2}, b = {3, 4};
    Vec d = {5, 6};
    const Vec before = d;
    BPvclip(d.data(), 0, 0, 0);
    BPvsubsmulsum(d.data(), a.data(), b.data(), 2, 0);
    BPvmul(d.data(), a.data(), b.data(), 0);
    BPvmul_sum(d.data(), a.data(), b.data(), 0);
    BPvsmul(d.data(), a.data(), 2, 0);
    BPvsmul_sum(d.data(), a.data(), 2, 0);
    BPlvsmul(d.data(), a.data(), b.data(), 2, 0);
    BPlvsmul(d.data(), a.data(), b.data(), 0, 1);
    BPlvsmul_sum(d.data(), a.data(), b.data(), 2, 0);
    BPlvsmul_sum(d.data(), a.data(), b.data(), 0, 1);
    EXPECT_EQ(d, before);
}

}  // namespace
