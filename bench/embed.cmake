# The embedded form beside the module (bench_embed): digits and the 784-128-10 network, each
# embedded in both forms at build time (the float form's functions renamed *_float so that both
# link into one program), the modules loaded from the shared builds above.
set(bench_embed_objects)
foreach(entry "digits|${PROJECT_SOURCE_DIR}/examples/networks/digits.toml"
              "n784x128x10|${CMAKE_CURRENT_SOURCE_DIR}/networks/n784x128x10.toml")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 desc)
  foreach(form double float)
    set(dir "${CMAKE_CURRENT_BINARY_DIR}/embed_${name}_${form}")
    add_custom_command(
      OUTPUT "${dir}/${name}_embed.c" "${dir}/${name}_embed.h"
      COMMAND "$<TARGET_FILE:bpnet-gen>" --embed "${desc}" --accumulate ${form} -o "${dir}"
      DEPENDS "${desc}" bpnet-gen
      COMMENT "Embedding ${name} (sums in ${form})"
      VERBATIM)
    add_library(bench_embed_${name}_${form} OBJECT "${dir}/${name}_embed.c")
    if(form STREQUAL "float")
      target_compile_definitions(bench_embed_${name}_${form} PRIVATE
        ${name}_embed_forward=${name}_embed_forward_float ${name}_embed_clear=${name}_embed_clear_float)
    endif()
    list(APPEND bench_embed_objects $<TARGET_OBJECTS:bench_embed_${name}_${form}>)
  endforeach()
endforeach()
add_executable(bench_embed bench_embed.cpp ${bench_embed_objects})
target_link_libraries(bench_embed PRIVATE benchmark::benchmark ${CMAKE_DL_LIBS})
target_compile_definitions(bench_embed PRIVATE
  BENCH_MODULE_digits="$<TARGET_FILE:bench_module_digits>"
  BENCH_MODULE_n784x128x10="$<TARGET_FILE:bench_module_n784x128x10>")
add_dependencies(bench_embed bench_module_digits bench_module_n784x128x10)
