# The generator's tests: they link the description model, load generated modules with dlopen,
# and need bpnet-gen (and the kernel library it links into modules) built first.
foreach(t test_gen_differential test_gen_model test_gen_nn test_gen_gradient test_gen_fields test_gen_feedback)
  if(TARGET ${t})
    target_sources(${t} PRIVATE support/ref_network.cpp support/gen_support.cpp)
    target_link_libraries(${t} PRIVATE bpnet_gen_model ${CMAKE_DL_LIBS})
    target_compile_definitions(${t} PRIVATE BPNET_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_dependencies(${t} bpnet-gen bpsim)
  endif()
endforeach()
# How many random descriptions the differential test compiles: the Release build runs the
# most; the slower builds a smaller sample of the same seeds.
if(TARGET test_gen_differential)
  # Of descriptions with feedback, a sample of their own (every order, unit kind and source
  # comes up in the Release sample).
  if(CMAKE_BUILD_TYPE STREQUAL "Release")
    set(bpnet_diff_count 100)
    set(bpnet_diff_feedback_count 50)
  else()
    set(bpnet_diff_count 30)
    set(bpnet_diff_feedback_count 10)
  endif()
  target_compile_definitions(test_gen_differential PRIVATE BPNET_DIFF_COUNT=${bpnet_diff_count}
                             BPNET_DIFF_FEEDBACK_COUNT=${bpnet_diff_feedback_count})
  # The network built at run time is the third party.
  target_sources(test_gen_differential PRIVATE support/rtnet_support.cpp)
  target_link_libraries(test_gen_differential PRIVATE bpnet_rtnet)
endif()
