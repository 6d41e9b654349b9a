// The check of a module's file moved into the network library beside its opener; this name
// stays for the programs and tests that include it from here.
#ifndef TOOLS_COMMON_MODULE_FILE_H
#define TOOLS_COMMON_MODULE_FILE_H

#include "gen/rtnet/module_file.h"

#endif
