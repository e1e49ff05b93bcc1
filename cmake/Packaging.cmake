# Installation and packages.
#
# `cmake --install <build> --prefix <dir>` puts, on Linux:
#   <dir>/bin/tessan, <dir>/bin/tessan-gang, <dir>/bin/tessan-sim (where the
#   sim is built)
#   <dir>/share/man/man1/tessan.1.gz, tessan-gang.1.gz, tessan-sim.1.gz
#   <dir>/share/doc/tessan/README.md, copyright, changelog.gz
#   <dir>/share/doc/tessan/docs/*.md
# (the documents as a Debian package has them: see DebianDocs.cmake), and
# for the Windows build, flat in <dir>: tessan.exe, tessan-gang.exe, README.md, LICENSE.txt
# and docs\*.md (the layout of a zip that is unpacked and run in place).
# The README links to the documents in docs/ by relative paths, so they
# sit beside it wherever it is installed.
#
# CPack then makes a Debian package of the native build and of the arm64
# and armhf cross-builds (their Depends come from dpkg-shlibdeps, so
# dpkg-dev and file must be installed), and a zip and a 64-bit installer
# (NSIS) of the Windows build. scripts/package builds them all.
#
# The version comes from project(... VERSION ...) in the root
# CMakeLists.txt: the manual pages (configured in DebianDocs.cmake) and the
# package names and fields take it from there, and CHANGELOG's newest entry
# must name the same version (the package check compares them). The banner
# does not: it keeps the text of the first release (frontend/Texts.h).

include(GNUInstallDirs)

if(WIN32)
  # tessan-gang.exe runs the tessan.exe in its own folder.
  install(TARGETS tessan tessan-gang RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs FILES_MATCHING PATTERN "*.md")
  # Windows opens a .txt with a double click; a bare LICENSE it does not.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  set(TESSAN_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/tessan)
  set(TESSAN_MAN1DIR ${CMAKE_INSTALL_MANDIR}/man1)
  # The package's Maintainer field and the copyright file's contact: a name
  # and an e-mail address in angle brackets. A packager sets their own.
  set(TESSAN_DEBIAN_MAINTAINER "The tessan developers <developers@tessan.example>" CACHE STRING
      "Maintainer of the Debian package: Name <e-mail address>")
  include(${CMAKE_CURRENT_LIST_DIR}/DebianDocs.cmake)

  install(TARGETS tessan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  tessan_manual_page(tessan)
  install(FILES ${PROJECT_BINARY_DIR}/man/tessan.1.gz DESTINATION ${TESSAN_MAN1DIR})
  # tessan-gang runs the tessan in its own folder, so the two go together.
  install(TARGETS tessan-gang RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  tessan_manual_page(tessan-gang)
  install(FILES ${PROJECT_BINARY_DIR}/man/tessan-gang.1.gz DESTINATION ${TESSAN_MAN1DIR})
  set(tessan_programs tessan tessan-gang)

  if(TARGET tessan-sim)
    install(TARGETS tessan-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    tessan_manual_page(tessan-sim)
    install(FILES ${PROJECT_BINARY_DIR}/man/tessan-sim.1.gz DESTINATION ${TESSAN_MAN1DIR})
    list(APPEND tessan_programs tessan-sim)
  endif()

  # A stripping install (CPack's, or cmake --install --strip) also drops the
  # .comment section, which only names the compilers that built the program
  # and its start-up files; Debian's own packaging tools do the same. (GNU
  # strip, so Linux only.)
  if(CMAKE_STRIP AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    foreach(program IN LISTS tessan_programs)
      install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
          execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
            RESULT_VARIABLE status)
          if(NOT status EQUAL 0)
            message(FATAL_ERROR \"strip --remove-section=.comment ${program}: \${status}\")
          endif()
        endif()")
    endforeach()
  endif()

  # The licence is in the copyright file, so LICENSE itself is not installed
  # beside it.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_BINARY_DIR}/doc/copyright
                ${PROJECT_BINARY_DIR}/doc/changelog.gz
          DESTINATION ${TESSAN_DOCDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${TESSAN_DOCDIR}/docs
          FILES_MATCHING PATTERN "*.md")
endif()

set(CPACK_PACKAGE_NAME tessan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tessan developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reprograms a device's flash over a serial line")
# Lines of at most 80 columns, as a Debian package description has them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "tessan sends a flash image, given as hexadecimal text, to a device's\n"
  "loader over a serial line: it triggers the loader, waits for the device\n"
  "to come back after its reset, and streams the image record by record,\n"
  "checking the status the device answers to each.\n"
  "tessan-gang flashes many boards at once, one tessan per port, with a\n"
  "table of their progress, a time limit per board and a report.\n"
  "tessan-sim, a simulated target on a pseudo-terminal, shows a whole\n"
  "transfer without hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# Installed programs carry no debugging information.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tessan-${PROJECT_VERSION}-win64)
  # The installer (cpack -G NSIS, with makensis 3): the project's own NSIS
  # script, NSIS.template.in beside this file, makes a 64-bit installer,
  # which CPackProjectConfig.cmake names tessan-<version>-win64-setup.exe.
  set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TESSAN_DEBIAN_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is what the installed programs link against, as dpkg-shlibdeps
  # finds it, rather than a list kept by hand.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A cross-build names its architecture in its toolchain file
  # (cmake/aarch64-linux-gnu.cmake: arm64, cmake/arm-linux-gnueabihf.cmake:
  # armhf); CPack would otherwise ask dpkg for the build machine's own.
  # dpkg-shlibdeps is then run with DEB_HOST_ARCH set to it (scripts/package),
  # so that it reads that architecture's libraries.
  if(CMAKE_CROSSCOMPILING AND TESSAN_DEBIAN_ARCHITECTURE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TESSAN_DEBIAN_ARCHITECTURE})
  endif()
  # tessan_<version>_<architecture>.deb
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
else()
  set(CPACK_GENERATOR TGZ)
endif()

include(CPack)
