// Command-line helpers shared by the tools: strict number parsing, option values and the
// version line.
#ifndef TOOLS_COMMON_CLI_H
#define TOOLS_COMMON_CLI_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace bp_cli {

// A whole decimal number in [0, max]: digits only, no sign, no spaces, no suffix.
bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t &out);

// A whole decimal number in [min, max]: an optional '-' then digits, nothing else.
bool parse_signed(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t &out);

// A finite float written as a decimal number (no "inf", "nan", hex or spaces), rounded once;
// false also when the value overflows a float.
bool parse_float(std::string_view text, float &out);

// Outcome of looking for a valued option at argv[i].
enum OptionMatch { kNoMatch, kMatched, kMissingValue };

// Match "--name VALUE" or "--name=VALUE" at argv[i]. On kMatched value points at the value
// and i is left on the last argument used; on kMissingValue no value follows.
OptionMatch option_value(int argc, char *const *argv, int &i, std::string_view name, const char *&value);

// One command-line argument while it is matched against a tool's options: the value of the
// option that matched, whether any did, and what is wrong with it.
struct Argument {
    int argc = 0;
    char *const *argv = nullptr;
    int *i = nullptr;              // the argument's index; moved on past a separate value
    std::string_view arg;          // the argument as given
    const char *value = nullptr;   // the matched option's value
    bool known = false;            // an option matched (or lacked its value)
    bool ok = true;
    std::string problem;           // the usage error when not ok
};

// Match the valued option name ("--name VALUE" or "--name=VALUE") unless an option matched
// already; true with a.value set when it matches, false when it does not or lacks its value
// (then a.problem says so).
bool match_option(Argument &a, std::string_view name);

// Match the option name that takes no value, unless an option matched already.
bool match_flag(Argument &a, std::string_view name);

// The matched option's value is not valid: "invalid value 'V' for NAME: what".
void bad_value(Argument &a, const char *name, const char *what);

// Parse argv: --help (-h) and --version are answered here; every other argument is handed to
// match, which tries the tool's options on it. A file option given an empty name is refused
// at once, except the tool's main file option (file_option, whose value match keeps in
// file): only its last value counts, and that must not be empty. Returns -1 to go on,
// otherwise the exit status (after the help, the version or a usage error).
int parse_arguments(int argc, char **argv, const char *tool, void (*print_help)(), std::string_view file_option,
                    const std::string &file, const std::function<void(Argument &)> &match);

// Print "<tool> (bpnet) <version>" and a newline on standard output.
void print_version(const char *tool);

// Usage error: "<tool>: msg" and a hint to --help on standard error; returns exit status 1.
int usage_error(const char *tool, const std::string &msg);

// An argument that is no known option: "unknown option" when it starts with '-', else
// "unexpected argument"; returns exit status 1.
int unknown_argument(const char *tool, std::string_view arg);

// Print the open network's error text (see net_host) as "<tool>: message", without its surrounding
// line breaks, on standard error.
void report_module_message(const char *tool);

// The network module failed: report_module_message; returns exit status 1.
int module_error(const char *tool);

// Flush standard output; 0, or 1 with a message when it could not be written.
int finish_output(const char *tool);

}  // namespace bp_cli

#endif
