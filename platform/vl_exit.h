/* Fatal exit. */
#ifndef VL_EXIT_H
#define VL_EXIT_H
#include "platform/vl_noreturn.h"
#ifdef __cplusplus
extern "C" {
#endif

/* End the process: status 0 silently, any other status as 1 after the recovery message. */
VL_NORETURN void vl_exit(int status);

#ifdef __cplusplus
}
#endif
#endif
