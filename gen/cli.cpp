// Command-line helpers shared by bpnet-gen and the tools: strict number parsing, option
// values, the version line and usage errors.
#include "gen/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bpnet_version.h"

namespace {

// True when text is one or more decimal digits.
bool all_digits(std::string_view text)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Digits to a value not above limit; false on overflow of the limit.
bool digits_value(std::string_view text, std::uint64_t limit, std::uint64_t &out)
{
    std::uint64_t v = 0;
    for (const char c : text) {
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (limit - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

}  // namespace

namespace bp_cli {

bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t &out)
{
    return all_digits(text) && digits_value(text, max, out);
}

bool parse_signed(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t &out)
{
    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;  // |INT64_MIN|
    std::uint64_t magnitude = 0;
    if (!all_digits(text) || !digits_value(text, kMinMagnitude, magnitude))
        return false;
    if (!negative && magnitude == kMinMagnitude)
        return false;
    const std::int64_t v = !negative ? static_cast<std::int64_t>(magnitude)
                           : magnitude == kMinMagnitude ? INT64_MIN
                                                        : -static_cast<std::int64_t>(magnitude);
    if (v < min || v > max)
        return false;
    out = v;
    return true;
}

namespace {

// Whether text is a decimal number: [-+]digits[.digits][e[-+]digits] (at least one digit).
bool decimal_form(std::string_view text)
{
    std::size_t i = 0;
    const auto digits = [&]() {
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            i++;
        return i - start;
    };
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        i++;
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        i++;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        i++;
        if (i < text.size() && (text[i] == '-' || text[i] == '+'))
            i++;
        if (digits() == 0)
            return false;
    }
    return i == text.size();
}

}  // namespace

bool parse_float(std::string_view text, float &out)
{
    // Accept only the decimal forms.
    if (!decimal_form(text))
        return false;
    const std::string copy(text);
    char *end = nullptr;
    const float v = std::strtof(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

bool parse_double(std::string_view text, double &out)
{
    if (!decimal_form(text))
        return false;
    const std::string copy(text);
    char *end = nullptr;
    const double v = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

OptionMatch option_value(int argc, char *const *argv, int &i, std::string_view name, const char *&value)
{
    const std::string_view arg(argv[i]);
    if (arg == name) {
        if (i + 1 >= argc)
            return kMissingValue;
        value = argv[++i];
        return kMatched;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        value = argv[i] + name.size() + 1;
        return kMatched;
    }
    return kNoMatch;
}

void print_version(const char *tool)
{
    std::printf("%s (bpnet) %s\n", tool, BPNET_VERSION);
}

int usage_error(const char *tool, const std::string &msg)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", tool, msg.c_str(), tool);
    return 1;
}

int unknown_argument(const char *tool, std::string_view arg)
{
    if (arg.size() > 1 && arg[0] == '-')
        return usage_error(tool, "unknown option '" + std::string(arg) + "'");
    return usage_error(tool, "unexpected argument '" + std::string(arg) + "'");
}

int finish_output(const char *tool)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", tool, std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace bp_cli
