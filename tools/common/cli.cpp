// Command-line helpers of the tools that report on the open network.
#include "tools/common/cli.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "network/nn.h"
#include "tools/common/net_host.h"

namespace bp_cli {

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

}  // namespace bp_cli
