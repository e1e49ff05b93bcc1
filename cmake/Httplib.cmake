# cpp-httplib, for the station view's server (gang/StationServer.cpp alone).
# Defines the target tessan_httplib, which that file links.
#  - A native build on Debian: the installed /usr/include/httplib.h, which
#    holds declarations only, and its library libcpp-httplib (with the
#    definitions that library was built with).
#  - A cross build (Windows, ARM), a static build (TESSAN_HTTPLIB_HEADER_ONLY,
#    as the test machine's guest is built: Debian ships no static
#    libcpp-httplib), or an installed header that is whole: the whole header,
#    header-only. For a cross build it comes from Debian's
#    source package of the installed version (scripts/lib/httplib-source.sh,
#    run here once into the build folder unless TESSAN_HTTPLIB_SOURCE names a
#    folder that holds it). Only that one header is put on the include path,
#    never all of /usr/include, which would shadow the cross compiler's own.
add_library(tessan_httplib INTERFACE)
find_path(TESSAN_HTTPLIB_INSTALLED httplib.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
set(TESSAN_HTTPLIB_SOURCE "" CACHE PATH "A folder holding cpp-httplib's whole httplib.h (cross builds)")
option(TESSAN_HTTPLIB_HEADER_ONLY "Compile cpp-httplib's whole header instead of linking Debian's libcpp-httplib" OFF)
set(httplib_whole "")
if(TESSAN_HTTPLIB_INSTALLED)
  file(STRINGS "${TESSAN_HTTPLIB_INSTALLED}/httplib.h" httplib_code REGEX "^inline bool Server::listen_internal" LIMIT_COUNT 1)
  if(httplib_code)
    set(httplib_whole "${TESSAN_HTTPLIB_INSTALLED}/httplib.h")
  endif()
endif()
if(NOT httplib_whole AND NOT CMAKE_CROSSCOMPILING AND NOT TESSAN_HTTPLIB_HEADER_ONLY AND TESSAN_HTTPLIB_INSTALLED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TESSAN_HTTPLIB_PC REQUIRED cpp-httplib)
  target_link_libraries(tessan_httplib INTERFACE ${TESSAN_HTTPLIB_PC_LINK_LIBRARIES})
  target_compile_options(tessan_httplib INTERFACE ${TESSAN_HTTPLIB_PC_CFLAGS_OTHER})
  set(httplib_header "${TESSAN_HTTPLIB_INSTALLED}/httplib.h")
  message(STATUS "cpp-httplib: ${httplib_header} with its library")
else()
  if(NOT httplib_whole)
    set(httplib_folder "${TESSAN_HTTPLIB_SOURCE}")
    if(NOT httplib_folder)
      set(httplib_folder "${CMAKE_BINARY_DIR}/httplib-source")
      if(NOT EXISTS "${httplib_folder}/httplib.h")
        execute_process(COMMAND sh "${PROJECT_SOURCE_DIR}/scripts/lib/httplib-source.sh" "${httplib_folder}"
                        RESULT_VARIABLE fetched)
        if(NOT fetched EQUAL 0)
          message(FATAL_ERROR "cpp-httplib: Debian's source package could not be fetched (scripts/lib/httplib-source.sh)")
        endif()
      endif()
    endif()
    set(httplib_whole "${httplib_folder}/httplib.h")
  endif()
  if(NOT EXISTS "${httplib_whole}")
    message(FATAL_ERROR "cpp-httplib: ${httplib_whole} not found")
  endif()
  set(httplib_header "${httplib_whole}")
  find_package(Threads REQUIRED)
  target_link_libraries(tessan_httplib INTERFACE Threads::Threads)
  if(WIN32)
    target_link_libraries(tessan_httplib INTERFACE ws2_32)
  endif()
  message(STATUS "cpp-httplib: ${httplib_header}, header-only")
endif()
# The one header, alone in a folder of the build tree.
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/httplib-include")
file(CREATE_LINK "${httplib_header}" "${CMAKE_BINARY_DIR}/httplib-include/httplib.h" SYMBOLIC)
target_include_directories(tessan_httplib SYSTEM INTERFACE "${CMAKE_BINARY_DIR}/httplib-include")
