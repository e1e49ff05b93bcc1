# Included right after project() in the package builds (scripts/package
# passes it as CMAKE_PROJECT_INCLUDE): the programs carry no path of the
# machine that built them, so two checkouts of the same commit in different
# folders compile to the same bytes.
#
# Each path under the source folder is written relative to it, and each path
# under the build folder relative to the build folder, in __FILE__ (assert
# messages), in debugging information and in macro expansions alike. GCC
# tries the last -ffile-prefix-map first, so the build folder, which may lie
# inside the source folder, comes second.
#
# The programs carry no time stamp either: GNU ld writes the time of the link
# into a Windows exe's header (or SOURCE_DATE_EPOCH, but a program that is
# not linked again would keep an older one), so it is left at zero there.
# The archives' time stamps come from SOURCE_DATE_EPOCH (scripts/package).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=.")
endif()
if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
