// Command-line helpers of the tools: the option loop they share and the reports on the open
// network.
#include "tools/common/cli.h"

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "network/nn.h"
#include "tools/common/net_host.h"

namespace bp_cli {

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

void report_module_message(const char *tool)
{
    // The open network's own text; the built-in network's before any network is open.
    const std::string text = net_host::is_open() ? net_host::error_text() : std::string(error_string);
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

}  // namespace bp_cli
