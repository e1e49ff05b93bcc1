# Installation and packages.
#
# `cmake --install <build> --prefix <dir>` puts, on Linux and macOS:
#   <dir>/bin/tessan, <dir>/bin/tessan-sim (where the sim is built)
#   <dir>/share/man/man1/tessan.1, tessan-sim.1
#   <dir>/share/doc/tessan/README.md, LICENSE
# and for the Windows build, flat in <dir>: tessan.exe, README.md and
# LICENSE.txt (the layout of a zip that is unpacked and run in place).
#
# CPack then makes a Debian package of the native build (its Depends come
# from dpkg-shlibdeps, so dpkg-dev must be installed) and a zip of the
# Windows build. scripts/package builds both.
#
# Every version shown anywhere comes from project(... VERSION ...) in the
# root CMakeLists.txt: the banner (TESSAN_VERSION), the manual pages
# (configured below) and the package names and fields.

include(GNUInstallDirs)

if(WIN32)
  install(TARGETS tessan RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  # Windows opens a .txt with a double click; a bare LICENSE it does not.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  set(TESSAN_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/tessan)
  set(TESSAN_MAN1DIR ${CMAKE_INSTALL_MANDIR}/man1)

  install(TARGETS tessan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(${PROJECT_SOURCE_DIR}/man/tessan.1.in ${PROJECT_BINARY_DIR}/man/tessan.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/tessan.1 DESTINATION ${TESSAN_MAN1DIR})

  if(TARGET tessan-sim)
    install(TARGETS tessan-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    configure_file(${PROJECT_SOURCE_DIR}/man/tessan-sim.1.in ${PROJECT_BINARY_DIR}/man/tessan-sim.1 @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/man/tessan-sim.1 DESTINATION ${TESSAN_MAN1DIR})
  endif()

  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${TESSAN_DOCDIR})
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
  "tessan-sim, a simulated target on a pseudo-terminal, shows a whole\n"
  "transfer without hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# Installed programs carry no debugging information.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tessan-${PROJECT_VERSION}-win64)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(TESSAN_MAINTAINER "The tessan developers" CACHE STRING
      "The Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TESSAN_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is what the installed programs link against, as dpkg-shlibdeps
  # finds it, rather than a list kept by hand.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # tessan_<version>_<architecture>.deb
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
else()
  set(CPACK_GENERATOR TGZ)
endif()

include(CPack)
