# The multi-unit kernels' test compiles each path's constant-size checks as a source of its own,
# so that the slowest file of the suite builds on every core at once.
if(TARGET test_kernels_multi)
  target_sources(test_kernels_multi PRIVATE multi/portable.cpp multi/sse2.cpp multi/avx2.cpp multi/avx512.cpp)
endif()
