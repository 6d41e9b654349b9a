# The network built at run time: it reads descriptions with the generator's model and is
# compared with the generated nn linked into the test; networks learn in threads at once.
if(TARGET test_rtnet)
  find_package(Threads REQUIRED)
  target_link_libraries(test_rtnet PRIVATE bpnet_gen_test_support Threads::Threads)
endif()
