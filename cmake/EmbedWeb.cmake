# Turns the station page's files into C strings: run as
#   cmake -DOUT=dir -DINPUTS="name=file|name=file..." -P EmbedWeb.cmake
# It writes OUT/StationPage.h (the declarations) and OUT/StationPage.cpp (the
# bytes), each string ending in a NUL.
set(header "// Made by cmake/EmbedWeb.cmake from gang/web: do not edit.\n#pragma once\n")
set(source "// Made by cmake/EmbedWeb.cmake from gang/web: do not edit.\n#include \"StationPage.h\"\n")
string(REPLACE "|" ";" inputs "${INPUTS}")
foreach(pair IN LISTS inputs)
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND header "extern const char* const ${name};\n")
  string(APPEND source "static const unsigned char ${name}Bytes[] = {\n${bytes}0};\n")
  string(APPEND source "extern const char* const ${name} = reinterpret_cast<const char*>(${name}Bytes);\n")
endforeach()
file(WRITE "${OUT}/StationPage.h.new" "${header}")
file(WRITE "${OUT}/StationPage.cpp.new" "${source}")
# Written only when changed, so an unchanged page rebuilds nothing.
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}/StationPage.h.new" "${OUT}/StationPage.h")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}/StationPage.cpp.new" "${OUT}/StationPage.cpp")
