// Elementary functions of the backprop library from IEEE operations alone: every step is an
// addition, subtraction, multiplication or comparison of doubles, each rounded once (the
// build keeps products and sums apart, never fused), and powers of two are built from their
// exponent bits. So every machine with IEEE doubles gives the same bits.
#include "bp/BpSimMath.h"

#include <bit>
#include <cstdint>
#include <limits>

namespace {

// ln 2 in two parts: the high part has 42 significant bits, so k * kLn2Hi is exact for every
// |k| < 2^11, and x - k * kLn2Hi is exact too (the two are within a factor of 2); the low
// part is the rest of ln 2, rounded.
constexpr double kLn2Hi = 0x1.62e42fefa38p-1;
constexpr double kLn2Lo = 0x1.ef35793c76730p-45;
constexpr double kInvLn2 = 0x1.71547652b82fep+0;

// Beyond these e^x rounds to +inf, or to 0 (below half the smallest subnormal: e^x < 2^-1075
// from -745.1332...; the margin keeps 2^(k + 54) normal in the scaling).
constexpr double kOverflow = 709.79;
constexpr double kUnderflow = -745.2;

// 1/n! for n = 2..13, rounded: e^r - 1 - r on |r| <= ln2/2 + a little to 4e-18 relative, far
// below the last bit.
constexpr double kInvFactorial[] = {
    0x1.0000000000000p-1,  0x1.5555555555555p-3,  0x1.5555555555555p-5,  0x1.1111111111111p-7,
    0x1.6c16c16c16c17p-10, 0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-16, 0x1.71de3a556c734p-19,
    0x1.27e4fb7789f5cp-22, 0x1.ae64567f544e4p-26, 0x1.1eed8eff8d898p-29, 0x1.6124613a86d09p-33,
};

// ln 2 for the logarithm: the high part has 32 significant bits, so k * kLogLn2Hi is exact for
// every exponent k of a double; the low part is the rest, rounded.
constexpr double kLogLn2Hi = 0x1.62e42feep-1;
constexpr double kLogLn2Lo = 0x1.a39ef35793c76p-33;

// The mantissa's upper bound after reduction: sqrt(2), rounded.
constexpr double kSqrt2 = 0x1.6a09e667f3bcdp+0;

// 2/(2k+1) for k = 1..12, rounded: the atanh series ln(1+f) = 2 atanh(s), s = f/(2+f), past its
// first term. With |s| <= 3 - 2 sqrt(2) < 0.1716 the terms left out are below 2^-60 of the result.
constexpr double kAtanhSeries[] = {
    0x1.5555555555555p-1, 0x1.999999999999ap-2, 0x1.2492492492492p-2, 0x1.c71c71c71c71cp-3,
    0x1.745d1745d1746p-3, 0x1.3b13b13b13b14p-3, 0x1.1111111111111p-3, 0x1.e1e1e1e1e1e1ep-4,
    0x1.af286bca1af28p-4, 0x1.8618618618618p-4, 0x1.642c8590b2164p-4, 0x1.47ae147ae147bp-4,
};

// 2^e for a normal exponent, -1022 <= e <= 1023, from its bits.
double power_of_two(int e)
{
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
}

}  // namespace

extern "C" {

double bp_exp(double x)
{
    // Not a number, and the ends: +inf and 0 beyond the range, -inf included.
    if (x != x)
        return x + x;
    if (x > kOverflow)
        return std::bit_cast<double>(std::uint64_t{0x7ff0000000000000});
    if (x < kUnderflow)
        return 0.0;

    // Reduction: x = k ln2 + r, k the nearest integer to x/ln2 (halves away from 0), r in two
    // parts. hi is exact; r = hi - lo rounded, and its rounding error is kept (two-sum).
    const double kd = x * kInvLn2;
    const int k = static_cast<int>(kd < 0.0 ? kd - 0.5 : kd + 0.5);
    const double hi = x - k * kLn2Hi;
    const double lo = k * kLn2Lo;
    const double r = hi - lo;
    const double back = r - hi;
    const double r_err = (hi - (r - back)) + (-lo - back);

    // e^r = 1 + r + p, p = r^2 (1/2! + r (1/3! + ... + r/13!)) by Horner; 1 + r is split
    // exactly into its rounded sum and the part lost (|r| < 1), and the small terms are added
    // to that part first, so the result is rounded once more at the end. e^(r + r_err) adds
    // r_err e^r, to first order r_err (1 + r).
    double q = kInvFactorial[11];
    for (int i = 10; i >= 0; i--)
        q = kInvFactorial[i] + r * q;
    const double p = r * r * q;
    const double one_r = 1.0 + r;
    const double one_r_lost = (1.0 - one_r) + r;
    const double er = one_r + (one_r_lost + (p + r_err * (1.0 + r)));

    // Scaling by 2^k: exact for a normal result; a result of 2^1024 or more overflows to +inf
    // in the second product; a subnormal one is rounded once, in the last product.
    if (k > 1023)
        return er * power_of_two(k - 1) * 2.0;
    if (k < -1022)
        return er * power_of_two(k + 54) * 0x1p-54;
    return er * power_of_two(k);
}

float bp_expf(float x)
{
    return static_cast<float>(bp_exp(x));
}

double bp_log(double x)
{
    // Not a number (and every negative argument), the zeros and +inf.
    if (x != x)
        return x + x;
    if (x < 0.0)
        return std::numeric_limits<double>::quiet_NaN();
    if (x == 0.0)
        return -std::numeric_limits<double>::infinity();
    if (x > std::numeric_limits<double>::max())
        return x;

    // Exponent extraction: a subnormal is first scaled exactly into the normal range. Then
    // x = 2^k m with m in [1, 2), and halved once where it is not below sqrt 2, so that m is in
    // [sqrt(1/2), sqrt 2) and f = m - 1 is exact.
    int k = 0;
    if (x < 0x1p-1022) {
        x *= 0x1p54;
        k = -54;
    }
    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    k += static_cast<int>(bits >> 52) - 1023;
    bits = (bits & 0x000fffffffffffffu) | 0x3ff0000000000000u;
    double m = std::bit_cast<double>(bits);
    if (m >= kSqrt2) {
        m *= 0.5;
        k++;
    }
    const double f = m - 1.0;

    // ln(1 + f) = 2s + s R(s^2), R the series past its first term; written as
    // f - (f^2/2 - s (f^2/2 + R)) so that the large part f enters exactly and only the small
    // correction is rounded, then k ln2 added in its two parts, the low one with the correction.
    const double s = f / (2.0 + f);
    const double z = s * s;
    double r = kAtanhSeries[11];
    for (int i = 10; i >= 0; i--)
        r = kAtanhSeries[i] + z * r;
    r = z * r;
    const double hfsq = 0.5 * f * f;
    const double kd = static_cast<double>(k);
    return kd * kLogLn2Hi - ((hfsq - (s * (hfsq + r) + kd * kLogLn2Lo)) - f);
}

}  // extern "C"
