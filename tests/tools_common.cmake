# Tests of the tools' shared code (and of nn-train, which reproduces a run in-process) link it.
foreach(t test_patterns test_nn_train)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE bpnet_tools_common)
  endif()
endforeach()
# The process tests run the programs they test: build them first.
if(TARGET test_nn_train)
  add_dependencies(test_nn_train nn-train)
  if(TARGET nn-ascii)
    add_dependencies(test_nn_train nn-ascii)
  endif()
endif()
