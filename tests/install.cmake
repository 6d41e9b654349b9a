# Installation as another project sees it: install into a scratch prefix inside the build
# folder, then build the C host examples/host.c against the installed package through
# find_package (shared and static library) and through pkg-config, and run each build.
# A sanitizer build passes its sanitizer flags on to those builds, whose library needs them.
if(TARGET bpnet_shared AND TARGET PlotComposite AND EXISTS ${PROJECT_SOURCE_DIR}/examples/host.c)
  find_program(BPNET_BASH bash)
  if(BPNET_BASH)
    set(bpnet_install_work ${PROJECT_BINARY_DIR}/install-test)
    set(bpnet_consumer_flags "")
    if(BPNET_SANITIZE)
      set(bpnet_consumer_flags "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
    endif()
    set(bpnet_install_args ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${bpnet_install_work}
        ${CMAKE_COMMAND} ${CMAKE_C_COMPILER} ${CMAKE_GENERATOR} ${bpnet_consumer_flags})

    add_test(NAME install_package
             COMMAND ${BPNET_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh install ${bpnet_install_args})
    set_tests_properties(install_package PROPERTIES FIXTURES_SETUP bpnet_installed TIMEOUT 300)
    foreach(step find_package find_package_static pkg_config network runtime python)
      add_test(NAME install_${step}
               COMMAND ${BPNET_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${step} ${bpnet_install_args})
      set_tests_properties(install_${step} PROPERTIES
        FIXTURES_REQUIRED bpnet_installed SKIP_RETURN_CODE 77 TIMEOUT 300)
    endforeach()
    add_test(NAME install_clean
             COMMAND ${BPNET_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh clean ${bpnet_install_args})
    set_tests_properties(install_clean PROPERTIES FIXTURES_CLEANUP bpnet_installed)
  else()
    message(STATUS "bash not found: the installation tests are not registered")
  endif()
endif()
