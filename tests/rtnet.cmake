# The network built at run time: it reads descriptions with the generator's model and is
# compared with the generated nn linked into the test; networks learn in threads at once.
if(TARGET test_rtnet)
  target_sources(test_rtnet PRIVATE support/gen_support.cpp support/ref_network.cpp support/rtnet_support.cpp)
  find_package(Threads REQUIRED)
  target_link_libraries(test_rtnet PRIVATE bpnet_rtnet Threads::Threads ${CMAKE_DL_LIBS})
  target_compile_definitions(test_rtnet PRIVATE BPNET_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
