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
# Libraries beyond the C and C++ runtimes (OpenSSL) come from Debian's
# multiarch packages of this architecture (libssl-dev:ARCH), under
# /usr/lib/arm-linux-gnueabihf: the root "/" with this library architecture finds them
# there and nowhere else, and pkg-config reads only this architecture's
# files (its hints would otherwise name the build machine's libraries).
list(APPEND CMAKE_FIND_ROOT_PATH /)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The Architecture field of its Debian package.
set(TESSAN_DEBIAN_ARCHITECTURE armhf)
