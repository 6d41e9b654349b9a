# The optimizer: random descriptions through the run-time network against a reference of the
# rule, and a few compiled into modules with bpnet-gen (built first, with the kernel library).
if(TARGET test_optimizer)
  target_link_libraries(test_optimizer PRIVATE bpnet_gen_test_support)
  add_dependencies(test_optimizer bpnet-gen bpsim)
endif()
# The stand-in module of the tools' tests (tools_module.cmake), which has no optimizer entry point.
if(TARGET test_optimizer)
  add_dependencies(test_optimizer fake_module)
  target_compile_definitions(test_optimizer PRIVATE BPNET_TEST_MODULES="${CMAKE_CURRENT_BINARY_DIR}/modules")
endif()
