# Cross-compiles the Linux build for 32-bit ARM with hardware floating point
# (Debian's armhf, as on 32-bit Raspberry Pi OS) with Debian's cross
# compiler (package g++-arm-linux-gnueabihf). The programs run under
# qemu-arm-static with -L /usr/arm-linux-gnueabihf (the tests' cross stage),
# or on an armhf machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_STRIP arm-linux-gnueabihf-strip)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The Architecture field of its Debian package.
set(TESSAN_DEBIAN_ARCHITECTURE armhf)
