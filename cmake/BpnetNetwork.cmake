# bpnet_add_network(TARGET DESCRIPTION [NAME network] [SHARED])
#
# Generates the network module that DESCRIPTION (a TOML description file) describes, at build
# time and again whenever the description changes, and makes it the library TARGET (static,
# or shared with SHARED), which a host links. TARGET carries the folder of the generated
# header NAME.h and links the kernel library. NAME is the network's name as the description
# gives it; when it is left out, bpnet-gen reads it from the description at configure time.
#
# Expects BPNET_GEN_COMMAND (the bpnet-gen program, a path or a generator expression),
# BPNET_GEN_DEPENDS (what the generation step depends on besides the description) and
# BPNET_KERNEL_LIBRARY (the static kernel library target) to be set.
function(bpnet_add_network target description)
  cmake_parse_arguments(PARSE_ARGV 2 arg "SHARED" "NAME" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "bpnet_add_network: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  get_filename_component(desc "${description}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  if(NOT EXISTS "${desc}")
    message(FATAL_ERROR "bpnet_add_network: no description file ${desc}")
  endif()
  # A change of the description reconfigures, so that a new network name is seen.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${desc}")
  set(name "${arg_NAME}")
  if(NOT name)
    execute_process(COMMAND "${BPNET_GEN_COMMAND}" --print-name "${desc}"
                    OUTPUT_VARIABLE name ERROR_VARIABLE err RESULT_VARIABLE rc
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "bpnet_add_network: ${err}")
    endif()
  endif()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_module")
  add_custom_command(
    OUTPUT "${dir}/${name}.h" "${dir}/${name}.cpp"
    COMMAND "${BPNET_GEN_COMMAND}" "${desc}" -o "${dir}"
    DEPENDS "${desc}" ${BPNET_GEN_DEPENDS}
    COMMENT "Generating the network module ${name} from ${description}"
    VERBATIM)
  if(arg_SHARED)
    add_library(${target} SHARED "${dir}/${name}.cpp" "${dir}/${name}.h")
    # The kernel library goes into the module; the module's own names bind to itself.
    target_link_options(${target} PRIVATE -Wl,-Bsymbolic -Wl,--exclude-libs,ALL)
  else()
    add_library(${target} STATIC "${dir}/${name}.cpp" "${dir}/${name}.h")
  endif()
  target_include_directories(${target} PUBLIC "${dir}")
  target_link_libraries(${target} PUBLIC ${BPNET_KERNEL_LIBRARY})
  target_compile_features(${target} PRIVATE cxx_std_20)
  # Every value is rounded to float exactly where the module says so: no fused multiply-add,
  # no SLP vectorization.
  target_compile_options(${target} PRIVATE -ffp-contract=off -fno-tree-slp-vectorize)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON LINKER_LANGUAGE CXX)
endfunction()
