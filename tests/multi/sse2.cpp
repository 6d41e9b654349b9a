// The constant-size checks of the sse2 path, compiled on their own.
#define BPNET_MULTI_PART 2
#include "test_kernels_multi.cpp"
