# Generated modules on every kernel path (test_gen_paths): like the generator's tests, it
# builds modules with bpnet-gen, loads them with dlopen and runs the reference network.
if(TARGET test_gen_paths)
  target_link_libraries(test_gen_paths PRIVATE bpnet_gen_test_support)
  add_dependencies(test_gen_paths bpnet-gen bpsim)
endif()
