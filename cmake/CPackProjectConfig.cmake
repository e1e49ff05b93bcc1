# Read by cpack once for each package it makes: the Windows installer is
# named for what it is, beside the zip of the same files.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
