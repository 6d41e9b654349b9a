# Blocks of rows and learning in batches: random descriptions through the run-time network, and
# a few compiled into modules with bpnet-gen (built first, with the kernel library it links).
if(TARGET test_rows)
  find_package(Threads REQUIRED)
  target_link_libraries(test_rows PRIVATE bpnet_gen_test_support Threads::Threads)
  add_dependencies(test_rows bpnet-gen bpsim)
endif()
