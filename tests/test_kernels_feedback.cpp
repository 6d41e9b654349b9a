// Feedback filter kernels: poles, stability tests and stability-guarded momentum updates.
#include "bp/BpSim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

constexpr float nanf_ = std::numeric_limits<float>::quiet_NaN();
constexpr float inff_ = std::numeric_limits<float>::infinity();

float p2(int e) { return std::ldexp(1.0f, e); }

TEST(FeedbackPoles, FirstOrderPoleIsTheCoefficient)
{
    double p[2] = {9, 9};
    BPar1_poles(0.5, p);
    EXPECT_EQ(p[0], 0.5);
    EXPECT_EQ(p[1], 0.0);
}

TEST(FeedbackPoles, SecondOrderDoubleRoot)
{
    double p[4] = {9, 9, 9, 9};
    BPar2_poles(1.0, -0.25, p);
    EXPECT_EQ(p[0], 0.5);
    EXPECT_EQ(p[1], 0.0);
    EXPECT_EQ(p[2], 0.5);
    EXPECT_EQ(p[3], 0.0);
}

TEST(FeedbackPoles, SecondOrderTinyDiscriminantCountsAsDoubleRoot)
{
    // D = 4e-308 is below the tolerance of ten smallest normals: one double root.
    double p[4] = {9, 9, 9, 9};
    BPar2_poles(0.0, 1e-308, p);
    EXPECT_EQ(p[0], 0.0);
    EXPECT_EQ(p[1], 0.0);
    EXPECT_EQ(p[3], 0.0);
    // 4e-306 is above it: two real roots.
    BPar2_poles(0.0, 1e-306, p);
    EXPECT_GT(p[0], 0.0);
    EXPECT_EQ(p[2], -p[0]);
}

TEST(FeedbackPoles, SecondOrderConjugatePair)
{
    double p[4] = {9, 9, 9, 9};
    BPar2_poles(0.0, -0.25, p);
    EXPECT_EQ(p[0], 0.0);
    EXPECT_EQ(p[1], 0.5);
    EXPECT_EQ(p[2], 0.0);
    EXPECT_EQ(p[3], -0.5);
}

TEST(FeedbackPoles, SecondOrderRealPairLargerFirst)
{
    double p[4] = {9, 9, 9, 9};
    BPar2_poles(0.5, 0.5, p);
    EXPECT_EQ(p[0], 1.0);
    EXPECT_EQ(p[1], 0.0);
    EXPECT_EQ(p[2], -0.5);
    EXPECT_EQ(p[3], 0.0);
}

TEST(FeedbackPoles, SecondOrderNaNTakesRealBranch)
{
    double p[4] = {9, 9, 9, 9};
    BPar2_poles(std::nan(""), 0.0, p);
    EXPECT_TRUE(std::isnan(p[0]));
    EXPECT_EQ(p[1], 0.0);
    EXPECT_TRUE(std::isnan(p[2]));
    EXPECT_EQ(p[3], 0.0);
}

TEST(FeedbackPolesDeathTest, ThirdOrderStopsWithMessage)
{
    double p[6] = {};
    EXPECT_EXIT(BPar3_poles(0.1, 0.2, 0.3, p), ::testing::ExitedWithCode(1),
                ::testing::Eq(std::string("\nCube root not implemented!\n\nUnable to recover from error!\n")));
}

TEST(FeedbackStability, FirstOrder)
{
    EXPECT_EQ(BPunstable_1st(1.0f), 1);
    EXPECT_EQ(BPunstable_1st(-1.0f), 1);
    EXPECT_EQ(BPunstable_1st(0.999f), 0);
    EXPECT_EQ(BPunstable_1st(-0.999f), 0);
    EXPECT_EQ(BPunstable_1st(inff_), 1);
    EXPECT_EQ(BPunstable_1st(nanf_), 0);
}

TEST(FeedbackStability, SecondOrderTriangle)
{
    EXPECT_EQ(BPunstable_2nd(0.5f, 0.5f), 1);
    EXPECT_EQ(BPunstable_2nd(-0.5f, 0.5f), 1);
    EXPECT_EQ(BPunstable_2nd(0.0f, -1.0f), 1);
    EXPECT_EQ(BPunstable_2nd(0.0f, -1.5f), 1);
    EXPECT_EQ(BPunstable_2nd(-0.5f, 0.4f), 0);
    EXPECT_EQ(BPunstable_2nd(1.5f, -0.9f), 0);
    EXPECT_EQ(BPunstable_2nd(0.0f, 0.999f), 0);
}

TEST(FeedbackStability, SecondOrderSumIsFormedWide)
{
    // 0.5 + (0.5 - 2^-25) is 1 - 2^-25, which a float sum would round up to 1.
    EXPECT_EQ(BPunstable_2nd(0.5f, 0.5f - p2(-25)), 0);
    EXPECT_EQ(BPunstable_2nd(-0.5f, 0.5f - p2(-25)), 0);
}

TEST(FeedbackStability, SecondOrderNaNComparesFalse)
{
    EXPECT_EQ(BPunstable_2nd(nanf_, 0.0f), 0);
    EXPECT_EQ(BPunstable_2nd(0.0f, nanf_), 0);
    EXPECT_EQ(BPunstable_2nd(nanf_, -2.0f), 1);  // the second test still applies
}

// One element of the first-order update.
struct First {
    float a, s;
};
First update1(float mom, float g, float a, float s)
{
    BPTupdate_1st(mom, &g, &a, &s, 1);
    return {a, s};
}

TEST(FeedbackUpdateFirst, StableStepIsAPlainMomentumUpdate)
{
    const First r = update1(0.5f, 0.1f, 0.2f, 0.3f);
    const double t = 0.1f + 0.5 * static_cast<double>(0.3f);
    EXPECT_EQ(r.a, static_cast<float>(0.2f + t));
    EXPECT_EQ(r.s, static_cast<float>(t));
}

TEST(FeedbackUpdateFirst, UnroundedStepIsAdded)
{
    // t = 2^-25 + 2^-50 (2^-25 in float): added wide it tips 0.5 + t past the rounding midpoint.
    const First r = update1(p2(-25), p2(-25), 0.5f, p2(-25));
    EXPECT_EQ(r.a, 0.5f + p2(-24));
    EXPECT_EQ(r.s, p2(-25));
}

TEST(FeedbackUpdateFirst, HalvesUntilStableAndStoresTheStepTried)
{
    const First r = update1(0.9f, 0.5f, 0.75f, 0.0f);
    EXPECT_EQ(r.a, 0.875f);
    EXPECT_EQ(r.s, 0.125f);
    // Negative side, with momentum: t = -0.25 - 0.25 = -0.5, -1.25 -> -1.0 -> -0.875.
    const First q = update1(0.5f, -0.25f, -0.75f, -0.5f);
    EXPECT_EQ(q.a, -0.875f);
    EXPECT_EQ(q.s, -0.125f);
}

TEST(FeedbackUpdateFirst, FallbackAfterThirtyHalvings)
{
    const First r = update1(0.95f, 0.01f, 1.5f, 0.0f);
    EXPECT_EQ(r.a, static_cast<float>(0.9999 * 1.5f));
    EXPECT_EQ(r.s, 0.01f * p2(-30));
}

TEST(FeedbackUpdateFirst, EachHalvingIsRoundedToFloat)
{
    // 11 * 2^-122 halved 30 times, rounding every time, ends at 2 * 2^-149 among the
    // subnormals (5.5 -> 6 -> 3 -> 1.5 -> 2 units); halved wide and rounded once it would be 1.
    const First r = update1(0.0f, 11.0f * p2(-122), 1.5f, 0.0f);
    EXPECT_EQ(r.a, static_cast<float>(0.9999 * 1.5f));
    EXPECT_EQ(r.s, 2.0f * std::numeric_limits<float>::denorm_min());
}

TEST(FeedbackUpdateFirst, TwentyNinthHalvingIsTestedThirtiethIsNot)
{
    // 0.75 + 2^26/2^28 = 1 is unstable; 2^26/2^29 = 0.125 is the last candidate tried.
    const First last = update1(0.0f, p2(26), 0.75f, 0.0f);
    EXPECT_EQ(last.a, 0.875f);
    EXPECT_EQ(last.s, 0.125f);
    // Twice the step would need a 30th halving to get there: fallback instead.
    const First over = update1(0.0f, p2(27), 0.75f, 0.0f);
    EXPECT_EQ(over.a, static_cast<float>(0.9999 * 0.75f));
    EXPECT_EQ(over.s, 0.125f);
}

TEST(FeedbackUpdateFirst, NeverStoresACoefficientRoundedOntoTheBound)
{
    // (1 - 2^-24) + 2^-25 + 2^-50 is below 1 but rounds to 1.0f: halve once more instead.
    const First r = update1(p2(-25), p2(-25), 1.0f - p2(-24), p2(-25));
    EXPECT_EQ(r.a, 1.0f - p2(-24));
    EXPECT_EQ(r.s, p2(-26));
    EXPECT_EQ(BPunstable_1st(r.a), 0);
}

TEST(FeedbackUpdateFirst, NaNCandidateIsStored)
{
    const First r = update1(0.5f, nanf_, 0.5f, 0.1f);
    EXPECT_TRUE(std::isnan(r.a));
    EXPECT_TRUE(std::isnan(r.s));
}

TEST(FeedbackUpdateFirst, InfiniteStepEndsInFallback)
{
    const First r = update1(0.5f, inff_, 0.5f, 0.0f);
    EXPECT_EQ(r.a, static_cast<float>(0.9999 * 0.5f));
    EXPECT_EQ(r.s, inff_);
}

TEST(FeedbackUpdateFirst, ElementsAreIndependentAndGradientsKept)
{
    const float g[3] = {0.5f, 0.01f, 0.125f};
    float a[3] = {0.75f, 1.5f, 0.25f};
    float s[3] = {0, 0, 0};
    BPTupdate_1st(0.9f, g, a, s, 3);
    EXPECT_EQ(a[0], 0.875f);
    EXPECT_EQ(s[0], 0.125f);
    EXPECT_EQ(a[1], static_cast<float>(0.9999 * 1.5f));
    EXPECT_EQ(a[2], 0.375f);
    EXPECT_EQ(s[2], 0.125f);
    EXPECT_EQ(g[0], 0.5f);
    // The next update's momentum continues from the shrunken step: t = 0 + 0.9 * 0.125.
    const float zero[3] = {0, 0, 0};
    BPTupdate_1st(0.9f, zero, a, s, 1);
    const double t = static_cast<double>(0.9f) * 0.125;
    EXPECT_EQ(s[0], static_cast<float>(t));
    EXPECT_EQ(a[0], static_cast<float>(0.875 + t));
}

TEST(FeedbackUpdateFirst, CountZeroTouchesNothing)
{
    const float g = 0.5f;
    float a = 0.75f, s = 0.25f;
    BPTupdate_1st(0.9f, &g, &a, &s, 0);
    EXPECT_EQ(a, 0.75f);
    EXPECT_EQ(s, 0.25f);
}

// One element of the second-order update.
struct Second {
    float a1, a2, s1, s2;
};
Second update2(float mom, float g1, float g2, float a1, float a2, float s1, float s2)
{
    BPTupdate_2nd(mom, &g1, &g2, &a1, &a2, &s1, &s2, 1);
    return {a1, a2, s1, s2};
}

TEST(FeedbackUpdateSecond, StableStepIsAPlainMomentumUpdate)
{
    const Second r = update2(0.5f, 0.1f, -0.05f, 0.2f, 0.1f, 0.3f, 0.2f);
    const double t1 = 0.1f + 0.5 * static_cast<double>(0.3f);
    const double t2 = -0.05f + 0.5 * static_cast<double>(0.2f);
    EXPECT_EQ(r.a1, static_cast<float>(0.2f + t1));
    EXPECT_EQ(r.a2, static_cast<float>(0.1f + t2));
    EXPECT_EQ(r.s1, static_cast<float>(t1));
    EXPECT_EQ(r.s2, static_cast<float>(t2));
}

TEST(FeedbackUpdateSecond, HalvesBothStepsTogether)
{
    // (0.75, 0.75) and (0.625, 0.5) are outside the triangle, (0.5625, 0.375) inside.
    const Second r = update2(0.0f, 0.25f, 0.5f, 0.5f, 0.25f, 0.0f, 0.0f);
    EXPECT_EQ(r.a1, 0.5625f);
    EXPECT_EQ(r.a2, 0.375f);
    EXPECT_EQ(r.s1, 0.0625f);
    EXPECT_EQ(r.s2, 0.125f);
}

TEST(FeedbackUpdateSecond, LowerEdgeIsUnstable)
{
    // a2: -1.25, then -1.0 (the edge itself), then -0.875.
    const Second r = update2(0.0f, 0.0f, -0.5f, 0.0f, -0.75f, 0.0f, 0.0f);
    EXPECT_EQ(r.a1, 0.0f);
    EXPECT_EQ(r.a2, -0.875f);
    EXPECT_EQ(r.s2, -0.125f);
}

TEST(FeedbackUpdateSecond, FallbackAfterThirtyHalvings)
{
    const Second r = update2(0.95f, 0.01f, 0.02f, 1.5f, -0.25f, 0.0f, 0.0f);
    EXPECT_EQ(r.a1, static_cast<float>(0.9999 * 1.5f));
    EXPECT_EQ(r.a2, static_cast<float>(0.9999 * -0.25f));
    EXPECT_EQ(r.s1, 0.01f * p2(-30));
    EXPECT_EQ(r.s2, 0.02f * p2(-30));
}

TEST(FeedbackUpdateSecond, EachHalvingIsRoundedToFloat)
{
    const Second r = update2(0.0f, 11.0f * p2(-122), -11.0f * p2(-122), 1.5f, 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(r.s1, 2.0f * std::numeric_limits<float>::denorm_min());
    EXPECT_EQ(r.s2, -2.0f * std::numeric_limits<float>::denorm_min());
}

TEST(FeedbackUpdateSecond, TwentyNinthHalvingIsTestedThirtiethIsNot)
{
    const Second last = update2(0.0f, 0.0f, p2(26), 0.0f, 0.75f, 0.0f, 0.0f);
    EXPECT_EQ(last.a2, 0.875f);
    EXPECT_EQ(last.s2, 0.125f);
    const Second over = update2(0.0f, 0.0f, p2(27), 0.0f, 0.75f, 0.0f, 0.0f);
    EXPECT_EQ(over.a2, static_cast<float>(0.9999 * 0.75f));
    EXPECT_EQ(over.s2, 0.125f);
}

TEST(FeedbackUpdateSecond, NeverStoresAPairRoundedOntoTheEdge)
{
    // a2 + t2 = 0.5 - 2^-26 + 2^-52 is inside, but rounds to 0.5f: (0.5, 0.5) is on the edge.
    const Second r = update2(p2(-26), 0.0f, p2(-26), 0.5f, 0.5f - p2(-25), 0.0f, p2(-26));
    EXPECT_EQ(r.a1, 0.5f);
    EXPECT_EQ(r.a2, 0.5f - p2(-25));
    EXPECT_EQ(r.s2, p2(-27));
    EXPECT_EQ(BPunstable_2nd(r.a1, r.a2), 0);
}

TEST(FeedbackUpdateSecond, NaNComparesFalse)
{
    const Second r = update2(0.5f, nanf_, 0.0f, 0.1f, 0.2f, 0.0f, 0.0f);
    EXPECT_TRUE(std::isnan(r.a1));
    EXPECT_EQ(r.a2, 0.2f);
    // A NaN first coefficient does not hide a second one below -1.
    const Second q = update2(0.0f, nanf_, -0.5f, 0.0f, -0.75f, 0.0f, 0.0f);
    EXPECT_TRUE(std::isnan(q.a1));
    EXPECT_EQ(q.a2, -0.875f);
    EXPECT_EQ(q.s2, -0.125f);
}

TEST(FeedbackUpdateSecond, CountZeroTouchesNothing)
{
    const float g1 = 0.5f, g2 = 0.5f;
    float a1 = 0.1f, a2 = 0.2f, s1 = 0.3f, s2 = 0.4f;
    BPTupdate_2nd(0.9f, &g1, &g2, &a1, &a2, &s1, &s2, 0);
    EXPECT_EQ(a1, 0.1f);
    EXPECT_EQ(a2, 0.2f);
    EXPECT_EQ(s1, 0.3f);
    EXPECT_EQ(s2, 0.4f);
}

}  // namespace
