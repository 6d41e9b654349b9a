// The driver's "%f" text: its own fixed-point conversion and std::to_chars (fixed, precision 6)
// against printf, on the golden grid, on every rounding tie k/128, on sweeps of neighbouring
// floats and on random bit patterns of every magnitude.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "driver/PlotFormat.h"
#include "support/test_support.h"

namespace {

std::string with_printf(float f)
{
    char buf[400];
    std::snprintf(buf, sizeof buf, "%f", static_cast<double>(f));
    return buf;
}

std::string with_to_chars(float f)
{
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(f), std::chars_format::fixed, 6);
    return std::string(buf, r.ptr);
}

std::string with_driver(float f)
{
    char buf[plot_format::kMaxText];
    return std::string(buf, plot_format::put_fixed6(buf, f));
}

float from_bits(std::uint32_t bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Count of mismatches, with the first reported.
int check(float f)
{
    const std::string expected = with_printf(f);
    const std::string driver = with_driver(f);
    const std::string to_chars = with_to_chars(f);
    if (driver == expected && to_chars == expected)
        return 0;
    ADD_FAILURE() << "value " << std::hexfloat << f << ": printf \"" << expected << "\", driver \"" << driver
                  << "\", to_chars \"" << to_chars << "\"";
    return 1;
}

// Stop a loop after a few failures, so that one fault does not flood the log.
constexpr int kMaxFailures = 5;

TEST(FixedFormat, EveryValueOfTheGoldenGrid)
{
    std::istringstream in(bptest::read_file(bptest::data_path("sample-composite.txt")));
    std::string line;
    int values = 0;
    int failures = 0;
    while (std::getline(in, line) && failures < kMaxFailures) {
        if (line.empty())
            continue;
        const float f = std::strtof(line.c_str(), nullptr);
        failures += check(f);
        // The golden text itself is what the conversion writes for the value it was printed from.
        const float from_text = std::strtof(with_driver(f).c_str(), nullptr);
        EXPECT_EQ(with_driver(from_text), line);
        values++;
    }
    EXPECT_EQ(values, 10000);
}

TEST(FixedFormat, TiesRoundToEven)
{
    // The only floats whose sixth decimal is an exact tie are the odd multiples of 1/128.
    EXPECT_EQ(with_driver(1.0f / 128), "0.007812");
    EXPECT_EQ(with_driver(3.0f / 128), "0.023438");
    EXPECT_EQ(with_driver(-1.0f / 128), "-0.007812");
    int failures = 0;
    for (int k = -300000; k <= 300000 && failures < kMaxFailures; k++)
        failures += check(static_cast<float>(k) / 128.0f);
}

TEST(FixedFormat, SignsZerosAndSpecialValues)
{
    EXPECT_EQ(with_driver(0.0f), "0.000000");
    EXPECT_EQ(with_driver(-0.0f), "-0.000000");
    EXPECT_EQ(with_driver(-1e-9f), "-0.000000");
    EXPECT_EQ(with_driver(10.0f), "10.000000");
    EXPECT_EQ(with_driver(15.915494f), "15.915494");
    const float specials[] = {
        0.0f, -0.0f, 1.0f, -1.0f, 0.5e-6f, -0.5e-6f, 0.4999999e-6f, 0.5000001e-6f,
        std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min(),
        std::numeric_limits<float>::min(), std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
        1099511627776.0f, 1099511562240.0f, 8388608.0f, 16777216.0f, 999999.94f, 0.9999995f,
    };
    for (const float f : specials)
        check(f);
}

TEST(FixedFormat, NeighbouringFloatsAcrossMagnitudes)
{
    // Runs of consecutive floats starting at powers of two and at decimal boundaries, where
    // carries ripple through the decimals and the integer part.
    int failures = 0;
    for (int e = -30; e <= 45 && failures < kMaxFailures; e++) {
        for (const double start : {std::ldexp(1.0, e), std::ldexp(1.0, e) * 1.2345678, std::pow(10.0, e / 3)}) {
            std::uint32_t bits;
            const float f = static_cast<float>(start);
            std::memcpy(&bits, &f, sizeof bits);
            for (std::uint32_t i = 0; i < 2000 && failures < kMaxFailures; i++) {
                failures += check(from_bits(bits - 1000 + i));
                failures += check(-from_bits(bits - 1000 + i));
            }
        }
    }
}

TEST(FixedFormat, RandomBitPatterns)
{
    std::mt19937 gen(20260412);
    int failures = 0;
    for (int i = 0; i < 300000 && failures < kMaxFailures; i++)
        failures += check(from_bits(static_cast<std::uint32_t>(gen())));
    // Half of them in the grid's range, where the driver's values lie.
    std::uniform_real_distribution<float> grid(-20.0f, 20.0f);
    for (int i = 0; i < 300000 && failures < kMaxFailures; i++)
        failures += check(grid(gen));
}

}  // namespace
