// Command-line helpers of the tools: the option loop they share and the reports on the open
// network; the general ones are in gen/cli.h.
#ifndef TOOLS_COMMON_CLI_H
#define TOOLS_COMMON_CLI_H

#include <functional>
#include <string>
#include <string_view>

#include "gen/cli.h"

namespace bp_cli {

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

// Print the open network's error text (see net_host) as "<tool>: message", without its surrounding
// line breaks, on standard error.
void report_module_message(const char *tool);

// The network module failed: report_module_message; returns exit status 1.
int module_error(const char *tool);

}  // namespace bp_cli

#endif
