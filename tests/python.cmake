# The Python package's pytest suite, run by Debian's interpreter with the build tree's package
# first on its path: the estimator checks, the run-time network against the compiled module
# and nn-train, errors and interruption (python/tests).
# scikit-learn's estimator checks exercise the estimators' Python side, the same in every
# build: the Debug build leaves them to the Release build and runs the rest.
if(TARGET _bpnet)
  set(bpnet_pytest_select "")
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(bpnet_pytest_select -k "not test_sklearn_estimator_checks")
  endif()
  add_test(NAME python_bpnet
    COMMAND ${Python_EXECUTABLE} -m pytest -q -p no:cacheprovider ${bpnet_pytest_select}
            ${PROJECT_SOURCE_DIR}/python/tests)
  set_tests_properties(python_bpnet PROPERTIES
    ENVIRONMENT "PYTHONPATH=${PROJECT_BINARY_DIR}/python;BPNET_GEN=$<TARGET_FILE:bpnet-gen>;BPNET_NN_TRAIN=$<TARGET_FILE:nn-train>;BPNET_CC=${CMAKE_C_COMPILER}"
    TIMEOUT 900 COST 1000)
endif()

# The Python data-set example trains as examples/run-dataset does: the same held-out accuracy.
if(TARGET _bpnet)
  foreach(pair "iris;97.37% \\(37/38\\)" "digits;97.77% \\(439/449\\)")
    list(GET pair 0 set)
    list(GET pair 1 accuracy)
    add_test(NAME python_example_${set}
      COMMAND ${Python_EXECUTABLE} ${PROJECT_SOURCE_DIR}/examples/python/dataset.py ${set})
    set_tests_properties(python_example_${set} PROPERTIES
      ENVIRONMENT "PYTHONPATH=${PROJECT_BINARY_DIR}/python"
      PASS_REGULAR_EXPRESSION "held-out accuracy ${accuracy}" TIMEOUT 300)
  endforeach()
endif()
