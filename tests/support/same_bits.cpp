// Bit-for-bit comparison of floats (see test_support.h).
#include <cstdint>
#include <cstring>
#include <sstream>

#include "support/test_support.h"

namespace bptest {

namespace {

std::uint32_t bits_of(float v)
{
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// "VALUE (0xBITS)", the form every failure prints a float in.
std::string shown(float v)
{
    std::ostringstream s;
    s.precision(9);
    s << v << " (0x" << std::hex << bits_of(v) << ")";
    return s.str();
}

}  // namespace

std::ptrdiff_t first_bit_difference(const float *a, const float *b, std::size_t n)
{
    // Whole block first: the arrays compared are mostly equal, and memcmp is the fast way to see it.
    if (n == 0 || std::memcmp(a, b, n * sizeof(float)) == 0)
        return -1;
    for (std::size_t i = 0; i < n; i++)
        if (bits_of(a[i]) != bits_of(b[i]))
            return static_cast<std::ptrdiff_t>(i);
    return -1;
}

::testing::AssertionResult same_bits(float a, float b)
{
    if (bits_of(a) == bits_of(b))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << shown(a) << " != " << shown(b);
}

::testing::AssertionResult same_bits(const float *a, const float *b, std::size_t n)
{
    const std::ptrdiff_t i = first_bit_difference(a, b, n);
    if (i < 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "[" << i << "] of " << n << ": " << shown(a[i]) << " != " << shown(b[i]);
}

::testing::AssertionResult same_bits(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << a.size() << " floats against " << b.size();
    return same_bits(a.data(), b.data(), a.size());
}

}  // namespace bptest
