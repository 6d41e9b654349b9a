# The regression replay uses the invariant checks of the fuzz targets, which read the CSV
# patterns too and load into networks built at run time, and finds the fuzz seed corpus in the
# source tree.
if(TARGET test_regress)
  target_sources(test_regress PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/reader_checks.cpp)
  target_link_libraries(test_regress PRIVATE bpnet_tools_common bpnet_rtnet)
  target_compile_definitions(test_regress PRIVATE BPNET_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus")
endif()
