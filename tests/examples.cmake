# The example host programs, run as tests.
#
# Included by tests/CMakeLists.txt, this file registers the tests; run with cmake -P, it is the
# check itself: it runs HOST with ARGS in WORKDIR and compares standard output with EXPECTED
# byte for byte (or, when EXPECTED is empty, expects exit status 1 and ERROR_MATCH on standard error).

if(CMAKE_SCRIPT_MODE_FILE)
  separate_arguments(host_args UNIX_COMMAND "${ARGS}")
  execute_process(COMMAND "${HOST}" ${host_args}
                  WORKING_DIRECTORY "${WORKDIR}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(EXPECTED)
    file(READ "${EXPECTED}" expected)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "host ${ARGS}: exit status ${status}\n${err}")
    endif()
    if(NOT out STREQUAL expected)
      message(FATAL_ERROR "host ${ARGS}: output differs from ${EXPECTED}\n--- got ---\n${out}")
    endif()
    if(NOT err STREQUAL "")
      message(FATAL_ERROR "host ${ARGS}: unexpected standard error\n${err}")
    endif()
  else()
    if(NOT status EQUAL 1)
      message(FATAL_ERROR "host ${ARGS}: exit status ${status}, expected 1")
    endif()
    if(NOT err MATCHES "${ERROR_MATCH}")
      message(FATAL_ERROR "host ${ARGS}: standard error does not match '${ERROR_MATCH}'\n${err}")
    endif()
  endif()
  return()
endif()

if(TARGET host)
  set(host_check ${CMAKE_COMMAND} -DHOST=$<TARGET_FILE:host> -DWORKDIR=${CMAKE_CURRENT_SOURCE_DIR}/data)
  # Fresh network (seed 123): layers, connections, first weights and four forward passes.
  add_test(NAME example_host
           COMMAND ${host_check} -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/data/host-seed123.txt
                   -P ${CMAKE_CURRENT_LIST_FILE})
  # Loaded through the descriptor's load entry point.
  add_test(NAME example_host_loaded
           COMMAND ${host_check} -DARGS=sample.save -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/data/host-sample.txt
                   -P ${CMAKE_CURRENT_LIST_FILE})
  # A missing save file: the module's error text through the descriptor, status 1.
  add_test(NAME example_host_missing_file
           COMMAND ${host_check} -DARGS=no-such.save "-DERROR_MATCH=Unable to open no-such.save"
                   -P ${CMAKE_CURRENT_LIST_FILE})
endif()

if(TARGET xor_host)
  # The host of a generated module: trains, saves, reloads into a fresh network, runs.
  add_test(NAME example_xor_host COMMAND xor_host ${CMAKE_CURRENT_BINARY_DIR}/xor-example.save)
  set_tests_properties(example_xor_host PROPERTIES PASS_REGULAR_EXPRESSION "all four right")
endif()
