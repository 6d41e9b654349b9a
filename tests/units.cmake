# The table of unit kinds against its readers: the description model, the emitter and the
# network built at run time; it reads the descriptor header from the source tree.
if(TARGET test_gen_units)
  target_link_libraries(test_gen_units PRIVATE bpnet_rtnet)
  target_compile_definitions(test_gen_units PRIVATE BPNET_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
