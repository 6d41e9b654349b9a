// The constant-size checks of the avx2 path, compiled on their own.
#define BPNET_MULTI_PART 3
#include "test_kernels_multi.cpp"
