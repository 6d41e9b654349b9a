// Checked memory allocation: callers never see a null block for a nonzero size.
#include "platform/vl_mem.h"

#include <cstdio>
#include <cstdlib>

#include "platform/vl_exit.h"

extern "C" void *vl_alloc_mem(int size)
{
    if (size == 0) {
        std::fputs("Warning: _alloc_mem called with 0 bytes argument. Returning NULL.\n", stderr);
        return nullptr;
    }
    // A negative size, taken as an unsigned size, is a request malloc cannot meet.
    void *block = std::malloc(static_cast<size_t>(static_cast<long>(size)));
    if (block == nullptr) {
        std::fprintf(stderr, "Error: cannot allocate %d bytes of memory!\n", size);
        vl_exit(1);
    }
    return block;
}

extern "C" void vl_free_mem(void *block)
{
    std::free(block);
}
