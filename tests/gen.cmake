# The generator's tests: they link the description model, load generated modules with dlopen,
# and need bpnet-gen (and the kernel library it links into modules) built first.
foreach(t test_gen_differential test_gen_model test_gen_nn test_gen_gradient test_gen_fields test_gen_feedback)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE bpnet_gen_test_support)
    add_dependencies(${t} bpnet-gen bpsim)
  endif()
endforeach()
# How many random descriptions the differential test compares (through the network built at run
# time, which costs no compilation) and how many of the first it compiles: the Release build
# the most, the sanitizer build a smaller sample of the same seeds. BPNET_TEST_SCALE multiplies
# both at run time.
if(TARGET test_gen_differential)
  # Of descriptions with feedback, a sample of their own (every order, unit kind and source
  # comes up in both builds' samples).
  if(CMAKE_BUILD_TYPE STREQUAL "Release")
    target_compile_definitions(test_gen_differential PRIVATE BPNET_DIFF_COUNT=400 BPNET_DIFF_MODULES=30
                               BPNET_DIFF_FEEDBACK_COUNT=200 BPNET_DIFF_FEEDBACK_MODULES=20)
  else()
    target_compile_definitions(test_gen_differential PRIVATE BPNET_DIFF_COUNT=100 BPNET_DIFF_MODULES=8
                               BPNET_DIFF_FEEDBACK_COUNT=40 BPNET_DIFF_FEEDBACK_MODULES=4)
  endif()
endif()

# The module of nn that test_gen_nn compares with the hand-written one: generated and compiled
# once by bpnet-gen --shared at build time, then loaded by every test of the suite.
if(TARGET test_gen_nn)
  set(bpnet_gen_nn_module ${CMAKE_CURRENT_BINARY_DIR}/modules/gen_nn.so)
  add_custom_command(OUTPUT ${bpnet_gen_nn_module}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/modules
                     COMMAND $<TARGET_FILE:bpnet-gen> --shared ${PROJECT_SOURCE_DIR}/network/nn.varonel
                             -o ${bpnet_gen_nn_module}
                     DEPENDS bpnet-gen bpsim ${PROJECT_SOURCE_DIR}/network/nn.varonel
                     COMMENT "Generating the test module gen_nn.so")
  add_custom_target(bpnet_gen_nn_module DEPENDS ${bpnet_gen_nn_module})
  add_dependencies(test_gen_nn bpnet_gen_nn_module)
  target_compile_definitions(test_gen_nn PRIVATE BPNET_GEN_NN_MODULE="${bpnet_gen_nn_module}")
endif()
