// The library's own exponential: within 1 ulp of the math library's over the whole range it
// supports (the math library is the reference here only), its ends and special values, and
// fixed bits for a handful of arguments, so that a change of its polynomial or reduction shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "bp/BpSimMath.h"

namespace {

// The distance in ulps of two doubles of the same sign (or zero), counted in bit patterns.
std::uint64_t ulps(double a, double b)
{
    const std::uint64_t x = std::bit_cast<std::uint64_t>(a), y = std::bit_cast<std::uint64_t>(b);
    return x > y ? x - y : y - x;
}

// Arguments over the supported range: uniform over it, uniform near 0, and of every magnitude
// (random exponents), both signs; then the edges: the ends of the range and the values around
// them, zeros, the smallest subnormal, and the halves between multiples of ln 2.
std::vector<double> arguments()
{
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> whole(-745.2, 709.79), near_zero(-1e-3, 1e-3), unit(1.0, 2.0);
    std::vector<double> xs;
    for (int i = 0; i < 1000000; i++) {
        xs.push_back(whole(rng));
        xs.push_back(near_zero(rng));
        const double x = std::ldexp(unit(rng), static_cast<int>(rng() % 1085) - 1075);
        xs.push_back(rng() % 2 == 0 ? x : -x);
    }
    const double edges[] = {0.0,
                            -0.0,
                            std::numeric_limits<double>::denorm_min(),
                            -std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::min(),
                            709.782712893384,
                            709.78271289338397,
                            -708.3964185322641,
                            -708.39641853226408,
                            -745.13321910194110,
                            -745.1332191019411,
                            -745.2,
                            709.79,
                            1.0,
                            -1.0,
                            0.5 * 0.6931471805599453,
                            -0.5 * 0.6931471805599453,
                            1.5 * 0.6931471805599453};
    for (const double e : edges)
        for (int step = -64; step <= 64; step++) {
            double x = e;
            for (int s = 0; s < (step < 0 ? -step : step); s++)
                x = std::nextafter(x, step < 0 ? -1e300 : 1e300);
            xs.push_back(x);
        }
    return xs;
}

TEST(Exp, WithinOneUlpOfTheMathLibraryOverItsRange)
{
    const std::vector<double> xs = arguments();
    std::uint64_t worst = 0, worst_float = 0;
    double worst_at = 0.0;
    int off = 0;
    for (const double x : xs) {
        const double got = bp_exp(x), want = std::exp(x);
        const std::uint64_t d = ulps(got, want);
        off += d > 0 ? 1 : 0;
        if (d > worst) {
            worst = d;
            worst_at = x;
        }
        // The float form, over floats whose result is finite and normal or subnormal.
        const float xf = static_cast<float>(x);
        if (std::abs(xf) < 104.0f) {
            const float gf = bp_expf(xf), wf = static_cast<float>(std::exp(static_cast<double>(xf)));
            const std::uint32_t a = std::bit_cast<std::uint32_t>(gf), b = std::bit_cast<std::uint32_t>(wf);
            worst_float = std::max<std::uint64_t>(worst_float, a > b ? a - b : b - a);
        }
    }
    std::printf("bp_exp over %zu arguments: %d differ from the math library, by at most %llu ulp (at %.17g); "
                "bp_expf by at most %llu\n",
                xs.size(), off, static_cast<unsigned long long>(worst), worst_at,
                static_cast<unsigned long long>(worst_float));
    EXPECT_LE(worst, 1u) << "at " << worst_at;
    EXPECT_LE(worst_float, 1u);
}

TEST(Exp, SpecialValuesAndEnds)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(std::isnan(bp_exp(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_TRUE(std::isnan(bp_expf(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_EQ(bp_exp(inf), inf);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_exp(-inf)), 0u);
    EXPECT_EQ(bp_exp(0.0), 1.0);
    EXPECT_EQ(bp_exp(-0.0), 1.0);
    // Overflow from just above ln(DBL_MAX), the largest finite result just below it.
    EXPECT_EQ(bp_exp(709.78271289338403), inf);
    EXPECT_EQ(bp_exp(1e300), inf);
    EXPECT_LT(bp_exp(709.78271289338397), inf);
    // Subnormal results are kept, gradually: the smallest subnormal near ln of it, 0 below half
    // of it, +0 always.
    EXPECT_EQ(bp_exp(-744.44007192138122), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_exp(-745.14)), 0u);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_exp(-1e300)), 0u);
    EXPECT_EQ(bp_expf(89.0f), std::numeric_limits<float>::infinity());
    EXPECT_EQ(bp_expf(-104.0f), 0.0f);
}

// Fixed bits, computed once with this polynomial and reduction: a change of either that moves
// any of these shows here.
TEST(Exp, GivesItsKnownBits)
{
    const struct {
        double x;
        std::uint64_t bits;
    } known[] = {
        {1.0, 0x4005bf0a8b145769},
        {-1.0, 0x3fd78b56362cef38},
        {0.5, 0x3ffa61298e1e069c},
        {3.0, 0x403415e5bf6fb106},
        {-10.0, 0x3f07cd79b5647c9b},
        {100.5, 0x48ffcc37a76f9e76},
        {-700.25, 0x00caf5fe9a485c8e},
        {709.5, 0x7fe81e9b4b52d0c9},                 // k = 1024
        {-740.0, 0x0000000000000055},                // subnormal: 85 times the smallest
        {0x1.b7cdfd9d7bdbbp-34, 0x3ff000000006df38},  // 1e-10
        {0x1.62e42fead449cp-2, 0x3ff6a09e66640654},   // near ln2/2
        {-0x1.14a280fb5068cp+3, 0x3f2712b3432f3419},
        {0x1.8a6a447ff497p-2, 0x3ff78491d8a3eaae},    // 0.505 ulp off, the math library 0.495
        {-0x1.3b3b4036a20ap+6, 0x38d3c1c7432eca2e},   // 0.510 ulp off, the math library 0.490
    };
    for (const auto &k : known)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_exp(k.x)), k.bits) << k.x;
}

}  // namespace
