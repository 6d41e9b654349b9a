// Exact "%f" formatting of a float widened to double: fixed notation, six decimals, rounded
// to nearest with ties to even on the exact binary value, a '-' for every negative sign
// (negative zero included), as printf writes it in the default rounding mode. Values of
// magnitude 2^40 and above, infinities and NaNs go through std::to_chars, which writes the
// same text; smaller values are converted with integer arithmetic alone.
#ifndef DRIVER_PLOTFORMAT_H
#define DRIVER_PLOTFORMAT_H

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace plot_format {

// "00" to "99": the two digits of every number below 100.
constexpr char kPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Longest text put_fixed6 writes: "%f" of -DBL_MAX is 317 characters.
constexpr int kMaxText = 320;

// Write "%f" of the float f at p (room for kMaxText characters) and return the end.
inline char *put_fixed6(char *p, float f)
{
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    const std::uint32_t biased = (bits >> 23) & 0xffu;
    const std::uint32_t frac = bits & 0x7fffffu;
    // Large, infinite and NaN values: the library conversion.
    if (biased >= 127u + 40u)
        return std::to_chars(p, p + kMaxText, static_cast<double>(f), std::chars_format::fixed, 6).ptr;
    if (bits >> 31)
        *p++ = '-';

    // |f| = mant * 2^-shift, with mant < 2^24 and shift >= 0 (shift = 0 only when |f| >= 2^23).
    const std::uint64_t mant = biased == 0 ? frac : (frac | 0x800000u);
    const int shift = biased == 0 ? 149 : 150 - static_cast<int>(biased);
    std::uint64_t q;  // |f| x 10^6, rounded to nearest, ties to even
    if (shift <= 0) {
        q = (mant << -shift) * 1000000u;  // |f| < 2^40: fits in 64 bits
    } else if (shift >= 46) {
        q = 0;  // |f| x 10^6 < 2^44 / 2^46 < 0.5
    } else {
        const std::uint64_t n = mant * 1000000u;  // < 2^44
        q = n >> shift;
        const std::uint64_t rem = n & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        if (rem > half || (rem == half && (q & 1u)))
            q++;
    }

    // Integer part, then the point and six decimals, two digits at a time.
    std::uint64_t whole = q / 1000000u;
    const std::uint32_t decimals = static_cast<std::uint32_t>(q % 1000000u);
    if (whole < 100u) {
        if (whole >= 10u)
            *p++ = kPairs[2 * whole];
        *p++ = kPairs[2 * whole + 1];
    } else {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + whole % 10u);
            whole /= 10u;
        } while (whole != 0);
        while (n > 0)
            *p++ = digits[--n];
    }
    *p++ = '.';
    const std::uint32_t high = decimals / 10000u;
    const std::uint32_t low = decimals % 10000u;
    std::memcpy(p, kPairs + 2 * high, 2);
    std::memcpy(p + 2, kPairs + 2 * (low / 100u), 2);
    std::memcpy(p + 4, kPairs + 2 * (low % 100u), 2);
    return p + 6;
}

}  // namespace plot_format

#endif
