// Fatal exit: the one way this system ends a process on an unrecoverable error.
#include "platform/vl_exit.h"

#include <cstdio>
#include <cstdlib>

extern "C" void vl_exit(int status)
{
    if (status == 0)
        std::exit(0);
    std::fputs("\nUnable to recover from error!\n", stderr);
    std::exit(1);
}
