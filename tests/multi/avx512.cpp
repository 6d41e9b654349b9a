// The constant-size checks of the avx512 path, compiled on their own.
#define BPNET_MULTI_PART 4
#include "test_kernels_multi.cpp"
