# The programs that write files, run under a file-size limit: build them before the test.
if(TARGET test_file_size_limit)
  add_dependencies(test_file_size_limit nn-train nn-eval nn-ascii PlotComposite)
  if(TARGET bpnet-gen)
    add_dependencies(test_file_size_limit bpnet-gen)
  endif()
endif()
