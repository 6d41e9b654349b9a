// Command-line helpers shared by bpnet-gen and the tools: strict number parsing, option values and the
// version line.
#ifndef GEN_CLI_H
#define GEN_CLI_H

#include <cstdint>
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
// The same for a double.
bool parse_double(std::string_view text, double &out);

// Outcome of looking for a valued option at argv[i].
enum OptionMatch { kNoMatch, kMatched, kMissingValue };

// Match "--name VALUE" or "--name=VALUE" at argv[i]. On kMatched value points at the value
// and i is left on the last argument used; on kMissingValue no value follows.
OptionMatch option_value(int argc, char *const *argv, int &i, std::string_view name, const char *&value);

// Print "<tool> (bpnet) <version>" and a newline on standard output.
void print_version(const char *tool);

// Usage error: "<tool>: msg" and a hint to --help on standard error; returns exit status 1.
int usage_error(const char *tool, const std::string &msg);

// An argument that is no known option: "unknown option" when it starts with '-', else
// "unexpected argument"; returns exit status 1.
int unknown_argument(const char *tool, std::string_view arg);

// Flush standard output; 0, or 1 with a message when it could not be written.
int finish_output(const char *tool);

}  // namespace bp_cli

#endif
