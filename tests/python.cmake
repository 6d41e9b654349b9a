# The Python package's pytest suite, run by Debian's interpreter with the build tree's package
# first on its path: the estimator checks, the run-time network against the compiled module
# and nn-train, errors and interruption (python/tests).
if(TARGET _bpnet)
  add_test(NAME python_bpnet
    COMMAND ${Python_EXECUTABLE} -m pytest -q -p no:cacheprovider ${PROJECT_SOURCE_DIR}/python/tests)
  set_tests_properties(python_bpnet PROPERTIES
    ENVIRONMENT "PYTHONPATH=${PROJECT_BINARY_DIR}/python;BPNET_GEN=$<TARGET_FILE:bpnet-gen>;BPNET_NN_TRAIN=$<TARGET_FILE:nn-train>"
    TIMEOUT 900)
endif()
