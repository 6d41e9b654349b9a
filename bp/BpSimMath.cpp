// Elementary functions of the backprop library from IEEE operations alone: every step is an
// addition, subtraction, multiplication or comparison of doubles, each rounded once (the
// build keeps products and sums apart, never fused), and powers of two are built from their
// exponent bits. So every machine with IEEE doubles gives the same bits.
#include "bp/BpSimMath.h"

#include <bit>
#include <cstdint>

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

}  // extern "C"
