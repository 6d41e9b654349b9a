// Command-line helpers shared by the tools.
#include "tools/common/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "network/nn.h"
#include "tools/common/bpnet_version.h"
#include "tools/common/net_host.h"

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

bool parse_float(std::string_view text, float &out)
{
    // Accept only the decimal forms: [-+]digits[.digits][e[-+]digits] (at least one digit).
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
    if (i != text.size())
        return false;

    const std::string copy(text);
    char *end = nullptr;
    const float v = std::strtof(copy.c_str(), &end);
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

bool match_option(Argument &a, std::string_view name)
{
    if (a.known)
        return false;
    const OptionMatch m = option_value(a.argc, a.argv, *a.i, name, a.value);
    if (m == kMissingValue) {
        a.known = true;
        a.ok = false;
        a.problem = "option '" + std::string(name) + "' needs a value";
        return false;
    }
    a.known = m == kMatched;
    return a.known;
}

bool match_flag(Argument &a, std::string_view name)
{
    if (a.known || a.arg != name)
        return false;
    a.known = true;
    return true;
}

void bad_value(Argument &a, const char *name, const char *what)
{
    a.ok = false;
    a.problem = std::string("invalid value '") + a.value + "' for " + name + ": " + what;
}

int parse_arguments(int argc, char **argv, const char *tool, void (*print_help)(), std::string_view file_option,
                    const std::string &file, const std::function<void(Argument &)> &match)
{
    for (int i = 1; i < argc; i++) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h") {
            print_help();
            return finish_output(tool);
        }
        if (arg == "--version") {
            print_version(tool);
            return finish_output(tool);
        }
        Argument a;
        a.argc = argc;
        a.argv = argv;
        a.i = &i;
        a.arg = arg;
        match(a);
        // A file option given an empty name is a mistake (an unset variable, say), never
        // the same as leaving the option out.
        if (a.ok && a.known && a.value != nullptr && *a.value == '\0' && arg.rfind(file_option, 0) != 0)
            bad_value(a, std::string(arg.substr(0, arg.find('='))).c_str(), "empty file name");
        if (!a.ok)
            return usage_error(tool, a.problem);
        if (!a.known)
            return unknown_argument(tool, arg);
    }
    if (file.empty())
        return usage_error(tool, "empty file name for " + std::string(file_option));
    return -1;
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

void report_module_message(const char *tool)
{
    // The open network's own text; the built-in network's before any network is open.
    const std::string text = net_host::network().error_text != nullptr ? net_host::error_text()
                                                                       : std::string(error_string);
    std::string_view msg(text);
    while (!msg.empty() && (msg.front() == '\n' || msg.front() == ' '))
        msg.remove_prefix(1);
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' '))
        msg.remove_suffix(1);
    std::fprintf(stderr, "%s: %.*s\n", tool, static_cast<int>(msg.size()), msg.data());
}

int module_error(const char *tool)
{
    report_module_message(tool);
    return 1;
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
