# The network built at run time: it reads descriptions with the generator's model and is
# compared with the generated nn linked into the test.
if(TARGET test_rtnet)
  target_link_libraries(test_rtnet PRIVATE bpnet_gen_test_support)
endif()
