# Installation: the library (shared libbpnet.so.N and static libbpnet.a), the public headers
# under include/bpnet/ (kept in their bp/, network/ and platform/ folders, so that a host
# compiles with -I<prefix>/include/bpnet and writes #include "network/nn.h"), the tools, their
# manual pages, a CMake package (find_package(bpnet): bpnet::bpnet, bpnet::bpnet_static) and a
# pkg-config file (bpnet.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(BPNET_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/bpnet
    CACHE STRING "Folder, relative to the prefix, for the installed CMake package files")
mark_as_advanced(BPNET_INSTALL_CMAKEDIR)

# Installed consumers see the headers through include/bpnet.
foreach(lib bpnet bpnet_shared bpsim bpsim_shared)
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/bpnet>)
endforeach()
# The static library holds C++ objects: a consumer that links it with the C driver gets the
# C++ runtime named explicitly (the shared library carries that dependency itself).
target_link_libraries(bpnet INTERFACE $<INSTALL_INTERFACE:$<$<LINK_LANGUAGE:C>:stdc++>>)
target_link_libraries(bpsim INTERFACE $<INSTALL_INTERFACE:$<$<LINK_LANGUAGE:C>:stdc++>>)
set_target_properties(bpnet_shared PROPERTIES EXPORT_NAME bpnet)
set_target_properties(bpnet PROPERTIES EXPORT_NAME bpnet_static)
# The kernel library alone, for generated network modules (bpnet_add_network).
set_target_properties(bpsim_shared PROPERTIES EXPORT_NAME bpsim)
set_target_properties(bpsim PROPERTIES EXPORT_NAME bpsim_static)

install(TARGETS bpnet_shared bpnet bpsim_shared bpsim EXPORT bpnetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The network built at run time (C++, bpnet/bpnet_network.h), static like the description
# model it reads descriptions with, which links the TOML parser.
if(TARGET bpnet_rtnet AND NOT BPNET_FUZZ)
  target_include_directories(bpnet_rtnet INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/bpnet>)
  set_target_properties(bpnet_rtnet PROPERTIES EXPORT_NAME rtnet_static)
  set_target_properties(bpnet_gen_model PROPERTIES EXPORT_NAME description_static)
  install(TARGETS bpnet_rtnet bpnet_gen_model EXPORT bpnetTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# Public headers: every header of bp/ and platform/, and the header of the generated nn.
# bp/BpSimInline.h, BpSimMulti.h and BpSimKernelSets.h are C++, for generated network modules.
foreach(sub bp platform)
  file(GLOB bpnet_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${sub}/*.h)
  install(FILES ${bpnet_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bpnet/${sub})
endforeach()
install(FILES ${BPNET_NN_HEADER} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bpnet/network)
# The multi-unit kernels' paths (C++, for generated modules), one header each, and the
# width-generic kernels every x86 path includes.
file(GLOB bpnet_multi_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bp/multi/*.h
     ${PROJECT_SOURCE_DIR}/bp/multi/*.inc)
install(FILES ${bpnet_multi_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bpnet/bp/multi)

# What generated modules compile against besides the library's headers: the module runtime.
file(GLOB bpnet_runtime_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/gen/runtime/*.h)
install(FILES ${bpnet_runtime_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bpnet/gen/runtime)

# The tools that this tree builds (each is installed once its target exists).
foreach(tool PlotComposite nn-train nn-ascii nn-eval bpnet-gen)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Manual pages, section 1.
file(GLOB bpnet_man1 CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
install(FILES ${bpnet_man1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# CMake package.
install(EXPORT bpnetTargets NAMESPACE bpnet:: DESTINATION ${BPNET_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/bpnetConfig.cmake.in
  ${PROJECT_BINARY_DIR}/bpnetConfig.cmake
  INSTALL_DESTINATION ${BPNET_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/bpnetConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/bpnetConfig.cmake ${PROJECT_BINARY_DIR}/bpnetConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/BpnetNetwork.cmake
  DESTINATION ${BPNET_INSTALL_CMAKEDIR})

# pkg-config file. With the usual relative install folders its paths start from ${pcfiledir},
# so the installed tree can be moved or installed with `cmake --install --prefix DIR` and is
# still found where it lies.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(BPNET_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(BPNET_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(BPNET_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH bpnet_pc_up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" bpnet_pc_up "${bpnet_pc_up}")
  set(BPNET_PC_PREFIX "\${pcfiledir}/${bpnet_pc_up}")
  set(BPNET_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(BPNET_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/bpnet.pc.in ${PROJECT_BINARY_DIR}/bpnet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/bpnet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
