// The library's own exponential: within 1 ulp of the math library's (the reference here only)
// over the whole range it supports, its ends and special values, and fixed bits for a handful
// of arguments, so that a change of its polynomial or reduction shows; the same for its logarithm.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <random>

#include "bp/BpSimMath.h"

namespace {

// The distance in ulps of two values of the same sign (or zero): of their bit patterns.
template <typename Bits, typename F>
Bits ulps(F a, F b)
{
    const Bits x = std::bit_cast<Bits>(a), y = std::bit_cast<Bits>(b);
    return x > y ? x - y : y - x;
}

// Three million arguments (uniform over the range, uniform near 0, of every magnitude) and the
// 129 doubles around each edge (the ends, ln DBL_MIN, the halves between multiples of ln 2,
// zeros and the smallest subnormal); the float form over the same arguments as floats.
TEST(Exp, WithinOneUlpOfTheMathLibraryOverItsRange)
{
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> whole(-745.2, 709.79), near_zero(-1e-3, 1e-3), unit(1.0, 2.0);
    const double edges[] = {0.0, -0.0, 4.9e-324, -4.9e-324, 2.2250738585072014e-308, 709.782712893384,
                            -708.3964185322641, -745.1332191019411, -745.2, 709.79, 1.0, -1.0,
                            0.34657359027997264, -0.34657359027997264, 1.0397207708399179};
    constexpr int random = 3000000;
    std::uint64_t worst = 0, worst_float = 0, differ = 0;
    double worst_at = 0.0;
    for (int i = 0; i < random + 129 * static_cast<int>(std::size(edges)); i++) {
        double x = i % 3 == 0 ? whole(rng) : near_zero(rng);
        if (i % 3 == 2)
            x = std::ldexp(rng() % 2 == 0 ? unit(rng) : -unit(rng), static_cast<int>(rng() % 1085) - 1075);
        if (i >= random) {
            x = edges[(i - random) / 129];
            for (int s = (i - random) % 129 - 64; s != 0; s += s < 0 ? 1 : -1)
                x = std::nextafter(x, s < 0 ? -1e300 : 1e300);
        }
        const std::uint64_t d = ulps<std::uint64_t>(bp_exp(x), std::exp(x));
        differ += d > 0 ? 1 : 0;
        if (d > worst) {
            worst = d;
            worst_at = x;
        }
        const float xf = static_cast<float>(x);
        worst_float = std::max<std::uint64_t>(
            worst_float, ulps<std::uint32_t>(bp_expf(xf), static_cast<float>(std::exp(static_cast<double>(xf)))));
    }
    std::printf("bp_exp: %llu arguments differ from the math library, by at most %llu ulp (at %.17g); "
                "bp_expf by %llu\n",
                static_cast<unsigned long long>(differ), static_cast<unsigned long long>(worst), worst_at,
                static_cast<unsigned long long>(worst_float));
    EXPECT_LE(worst, 1u) << "at " << worst_at;
    EXPECT_LE(worst_float, 1u);
}

// Not a number stays so; +inf beyond ln DBL_MAX, +0 below half the smallest subnormal, which
// comes out where it should.
TEST(Exp, SpecialValuesAndEnds)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(std::isnan(bp_exp(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_TRUE(std::isnan(bp_expf(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_EQ(bp_exp(0.0), 1.0);
    EXPECT_EQ(bp_exp(-0.0), 1.0);
    for (const double x : {inf, 1e300, 709.78271289338403})
        EXPECT_EQ(bp_exp(x), inf) << x;
    EXPECT_LT(bp_exp(709.78271289338397), inf);
    EXPECT_EQ(bp_exp(-744.44007192138122), std::numeric_limits<double>::denorm_min());
    for (const double x : {-745.14, -1e300, -inf})
        EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_exp(x)), 0u) << x;
    EXPECT_EQ(bp_expf(89.0f), std::numeric_limits<float>::infinity());
    EXPECT_EQ(bp_expf(-104.0f), 0.0f);
}

// Fixed bits, computed once: k = 1024, a subnormal, near ln2/2 (where the last term of the
// polynomial counts), and two where the math library rounds the other way.
TEST(Exp, GivesItsKnownBits)
{
    const struct {
        double x;
        std::uint64_t bits;
    } known[] = {
        {1.0, 0x4005bf0a8b145769},  {-1.0, 0x3fd78b56362cef38},   {0.5, 0x3ffa61298e1e069c},
        {3.0, 0x403415e5bf6fb106},  {-10.0, 0x3f07cd79b5647c9b},  {1e-10, 0x3ff000000006df38},
        {100.5, 0x48ffcc37a76f9e76}, {-700.25, 0x00caf5fe9a485c8e}, {709.5, 0x7fe81e9b4b52d0c9},
        {-740.0, 0x0000000000000055}, {0x1.62e42fead449cp-2, 0x3ff6a09e66640654},
        {-0x1.14a280fb5068cp+3, 0x3f2712b3432f3419},
        {0x1.8a6a447ff497p-2, 0x3ff78491d8a3eaae}, {-0x1.3b3b4036a20ap+6, 0x38d3c1c7432eca2e},
    };
    for (const auto &k : known)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_exp(k.x)), k.bits) << k.x;
}

// The library's logarithm against the math library's: two million arguments of every magnitude
// (subnormals too), near 1 (where the result is small), and the 129 doubles around each edge
// (1, sqrt 2 and sqrt(1/2) where the reduction changes, the smallest and largest doubles).
TEST(Log, WithinOneUlpOfTheMathLibrary)
{
    std::mt19937_64 rng(2027);
    std::uniform_real_distribution<double> unit(1.0, 2.0), near_one(0.99, 1.01);
    const double edges[] = {1.0, 1.4142135623730951, 0.70710678118654757, 4.9e-324, 2.2250738585072014e-308,
                            1.7976931348623157e308, 2.0, 0.5};
    constexpr int random = 2000000;
    std::uint64_t worst = 0, differ = 0;
    double worst_at = 0.0;
    for (int i = 0; i < random + 129 * static_cast<int>(std::size(edges)); i++) {
        double x = i % 2 == 0 ? std::ldexp(unit(rng), static_cast<int>(rng() % 2098) - 1074) : near_one(rng);
        if (i >= random) {
            x = edges[(i - random) / 129];
            for (int s = (i - random) % 129 - 64; s != 0; s += s < 0 ? 1 : -1)
                x = std::nextafter(x, s < 0 ? 0.0 : 1e308);
        }
        if (x == 0.0 || std::isinf(x))
            continue;
        const double a = bp_log(x), b = std::log(x);
        // The distance across 0 counts both sides' steps; the results' signs agree otherwise.
        const std::uint64_t d = (a < 0.0) == (b < 0.0)
                                    ? ulps<std::uint64_t>(a, b)
                                    : ulps<std::uint64_t>(std::fabs(a), 0.0) + ulps<std::uint64_t>(std::fabs(b), 0.0);
        differ += d > 0 ? 1 : 0;
        if (d > worst) {
            worst = d;
            worst_at = x;
        }
    }
    std::printf("bp_log: %llu arguments differ from the math library, by at most %llu ulp (at %.17g)\n",
                static_cast<unsigned long long>(differ), static_cast<unsigned long long>(worst), worst_at);
    EXPECT_LE(worst, 1u) << "at " << worst_at;
}

// Not a number for NaN and every negative argument, -inf at both zeros, +inf at +inf, exactly 0
// at 1; and ln e^x comes back to x within two ulps of max(1, |x|) (e^x near 1 keeps no more).
TEST(Log, SpecialValuesAndRoundTrip)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (const double x : {std::numeric_limits<double>::quiet_NaN(), -1.0, -4.9e-324, -inf})
        EXPECT_TRUE(std::isnan(bp_log(x))) << x;
    EXPECT_EQ(bp_log(0.0), -inf);
    EXPECT_EQ(bp_log(-0.0), -inf);
    EXPECT_EQ(bp_log(inf), inf);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_log(1.0)), 0u);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> arg(-700.0, 700.0);
    for (int i = 0; i < 10000; i++) {
        const double x = arg(rng);
        EXPECT_LE(std::fabs(bp_log(bp_exp(x)) - x), 0x1p-51 * std::max(1.0, std::fabs(x))) << x;
    }
}

// Fixed bits, computed once: the smallest subnormal, the largest double, each side of sqrt 2,
// near 1 and the clip the cross-entropy error uses.
TEST(Log, GivesItsKnownBits)
{
    const struct {
        double x;
        std::uint64_t bits;
    } known[] = {
        {0x0.0000000000001p-1022, 0xc0874385446d71c3}, {0x1.fffffffffffffp+1023, 0x40862e42fefa39ef},
        {0x1.6a09e667f3bcdp+0, 0x3fd62e42fefa39f0},    {0x1.6a09e667f3bccp+0, 0x3fd62e42fefa39ee},
        {0x1.6a09e667f3bccp-1, 0xbfd62e42fefa39f1},    {0x1.000001ad7f29bp+0, 0x3e7ad7f2847b6492},
        {0x1.ffffde7210be9p-1, 0xbeb0c6f82d74d230},    {0x1.ad7f29abcaf48p-24, 0xc0301e3b843eaa73},
        {0x1.999999999999ap-4, 0xc0026bb1bbb55515},    {0x1p+1, 0x3fe62e42fefa39ef},
        {0x1.4p+3, 0x40026bb1bbb55516},                {0x1.8p+1, 0x3ff193ea7aad030a},
        {0x1.8a6a447ff497p+3, 0x400417e567c6dc8e},
    };
    for (const auto &k : known)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(bp_log(k.x)), k.bits) << k.x;
}

}  // namespace
