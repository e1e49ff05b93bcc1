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
# A Windows exe's PE header has a time stamp, which GNU ld sets to the time
# of the link (or SOURCE_DATE_EPOCH, but a program that is not linked again
# would keep an older one): the link leaves it at zero. The strip that
# CPack runs on the packaged exe writes it anew, as SOURCE_DATE_EPOCH, which
# scripts/package sets (without it, strip writes the time of packaging).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=.")
endif()
if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
