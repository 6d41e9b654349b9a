# The table of unit kinds against its readers: the description model, the emitter, the network
# built at run time and the embedded form; it reads the descriptor header from the source tree.
if(TARGET test_gen_units)
  target_link_libraries(test_gen_units PRIVATE bpnet_rtnet bpnet_gen_embed)
  target_compile_definitions(test_gen_units PRIVATE BPNET_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
