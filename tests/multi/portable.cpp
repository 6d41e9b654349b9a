// The constant-size checks of the portable path, compiled on their own.
#define BPNET_MULTI_PART 1
#include "test_kernels_multi.cpp"
