# Generated modules on every kernel path (test_gen_paths): like the generator's tests, it
# builds modules with bpnet-gen, loads them with dlopen and runs the reference network.
if(TARGET test_gen_paths)
  target_sources(test_gen_paths PRIVATE support/ref_network.cpp support/gen_support.cpp)
  target_link_libraries(test_gen_paths PRIVATE bpnet_gen_model ${CMAKE_DL_LIBS})
  target_compile_definitions(test_gen_paths PRIVATE BPNET_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(test_gen_paths bpnet-gen bpsim)
endif()
