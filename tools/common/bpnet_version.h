/* Version of the bpnet tools, printed by --version. */
#ifndef TOOLS_COMMON_BPNET_VERSION_H
#define TOOLS_COMMON_BPNET_VERSION_H
#define BPNET_VERSION "1.0.0"
#endif
