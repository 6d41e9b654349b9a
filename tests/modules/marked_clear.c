/* The delays entry point of a test module that marks its calls: each call prints one line on
 * standard output, in the same stream as the tools' reports, so that a test sees where
 * between the patterns a tool clears the delays. The generated module's own (empty) entry
 * point is renamed by the build and left unused. */
#include <stdio.h>

#undef network_clear_delays
void network_clear_delays(void);
void network_clear_delays(void)
{
    fputs("-- delays cleared\n", stdout);
}
