# The documentation files of a POSIX install, laid out as a Debian package
# wants them (and as lintian checks them), made at configure time in the
# build folder:
#   man/tessan.1.gz, man/tessan-sim.1.gz   the manual pages, version filled in
#   doc/changelog.gz                       the CHANGELOG of the source tree
#   doc/copyright                          LICENSE in the machine-readable
#                                          copyright format
# Every .gz is made with gzip -9n: best compression, and no file name or
# time stamp inside, so the same sources always give the same bytes.

find_program(TESSAN_GZIP gzip)
if(NOT TESSAN_GZIP)
  message(FATAL_ERROR "gzip is needed to compress the manual pages and the changelog")
endif()

# Writes <output> as gzip -9n of <input>.
function(tessan_gzip input output)
  execute_process(COMMAND ${TESSAN_GZIP} -9n -c ${input}
                  OUTPUT_FILE ${output} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${input} failed: ${status}")
  endif()
endfunction()

# man/<page>.1.in -> <build>/man/<page>.1 (version filled in) -> <page>.1.gz
function(tessan_manual_page page)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  tessan_gzip(${PROJECT_BINARY_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
endfunction()

file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/doc)
# CMake configures again whenever either of these changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/CHANGELOG ${PROJECT_SOURCE_DIR}/LICENSE)

tessan_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG ${PROJECT_BINARY_DIR}/doc/changelog.gz)

# The copyright file takes the holder and the licence text from LICENSE, so
# the two never disagree. LICENSE is the MIT licence: a title, the line
# "Copyright (c) <year> <holder>", then the permission text, which the
# copyright format calls Expat (its name for this MIT text).
file(READ ${PROJECT_SOURCE_DIR}/LICENSE tessan_license)
if(NOT tessan_license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(.+[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no line \"Copyright (c) ...\" followed by the licence text")
endif()
set(tessan_holder "${CMAKE_MATCH_1}")
# A field's continuation lines start with a space; an empty line is " .".
string(REPLACE "\n" "\n " tessan_text " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" tessan_text "${tessan_text}")
string(REPLACE "\n \n" "\n .\n" tessan_text "${tessan_text}")
file(WRITE ${PROJECT_BINARY_DIR}/doc/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: tessan\n"
  "Upstream-Contact: ${TESSAN_DEBIAN_MAINTAINER}\n"
  "\n"
  "Files: *\n"
  "Copyright: ${tessan_holder}\n"
  "License: Expat\n"
  "\n"
  "License: Expat\n"
  "${tessan_text}\n")
