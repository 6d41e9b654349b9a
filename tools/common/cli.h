// Command-line helpers of the tools that report on the open network; the general ones are
// in gen/cli.h.
#ifndef TOOLS_COMMON_CLI_H
#define TOOLS_COMMON_CLI_H

#include "gen/cli.h"

namespace bp_cli {

// Print the open network's error text (see net_host) as "<tool>: message", without its surrounding
// line breaks, on standard error.
void report_module_message(const char *tool);

// The network module failed: report_module_message; returns exit status 1.
int module_error(const char *tool);

}  // namespace bp_cli

#endif
