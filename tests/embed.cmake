# The embedded form's tests: they run bpnet-gen --embed (and nn-ascii for a dump), and compile
# the files it writes with this build's C and C++ compilers.
if(TARGET test_gen_embed)
  target_link_libraries(test_gen_embed PRIVATE bpnet_gen_test_support)
  target_compile_definitions(test_gen_embed PRIVATE
    BPNET_C_COMPILER="${CMAKE_C_COMPILER}"
    BPNET_CXX_COMPILER="${CMAKE_CXX_COMPILER}")
  add_dependencies(test_gen_embed bpnet-gen bpsim nn-ascii)
  # How many random descriptions are embedded: the Release build the most.
  if(CMAKE_BUILD_TYPE STREQUAL "Release")
    target_compile_definitions(test_gen_embed PRIVATE BPNET_EMBED_COUNT=6)
  else()
    target_compile_definitions(test_gen_embed PRIVATE BPNET_EMBED_COUNT=3)
  endif()
endif()

# The integer forms: the generator's plan is linked in, the files compiled with this build's C
# compiler.
if(TARGET test_gen_embed_integer)
  target_link_libraries(test_gen_embed_integer PRIVATE bpnet_gen_test_support bpnet_gen_embed)
  target_compile_definitions(test_gen_embed_integer PRIVATE BPNET_C_COMPILER="${CMAKE_C_COMPILER}")
  add_dependencies(test_gen_embed_integer bpnet-gen bpsim)
  if(CMAKE_BUILD_TYPE STREQUAL "Release")
    target_compile_definitions(test_gen_embed_integer PRIVATE BPNET_EMBED_COUNT=8)
  else()
    target_compile_definitions(test_gen_embed_integer PRIVATE BPNET_EMBED_COUNT=3)
  endif()
endif()

# A random description on standard output, for the cross-compilation stage
# (scripts/test.d/embed.sh): embed_random_description SEED.
add_executable(embed_random_description embed/random_description.cpp)
target_link_libraries(embed_random_description PRIVATE bpnet_gen_test_support)

# The embedded form's helpers (gen/embed/embed_helpers.c) compiled on their own as strict C99
# with every section, in the exact and the float form, and held against the kernel library.
foreach(form exact float)
  set(target embed_helpers_${form})
  add_executable(${target} embed/embed_helpers_test.c)
  set_target_properties(${target} PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF LINKER_LANGUAGE CXX)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  target_compile_definitions(${target} PRIVATE EMBED_HELPERS_EXACT=$<IF:$<STREQUAL:${form},exact>,1,0>)
  target_link_libraries(${target} PRIVATE bpsim)
  add_test(NAME ${target} COMMAND ${target})
endforeach()
