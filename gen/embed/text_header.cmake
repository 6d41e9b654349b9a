# Writes the text of a file as a C++ header holding it in one raw string literal, so that a
# program carries the file's text without needing the source tree when it runs:
#   cmake -DINPUT=file -DOUTPUT=header.h -DNAME=kName -P text_header.cmake
# The header defines `inline constexpr char NAME[]`. A text holding the literal's closing
# sequence is refused.
foreach(v INPUT OUTPUT NAME)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "text_header.cmake: ${v} is not set")
  endif()
endforeach()
file(READ "${INPUT}" text)
set(close ")bpnet_text\"")
string(FIND "${text}" "${close}" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "text_header.cmake: ${INPUT} holds ${close}, which would end the string early")
endif()
get_filename_component(source_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}"
  "// The text of ${source_name}, written by the build (gen/embed/text_header.cmake). Do not edit.\n"
  "#pragma once\n"
  "inline constexpr char ${NAME}[] = R\"bpnet_text(${text})bpnet_text\";\n")
