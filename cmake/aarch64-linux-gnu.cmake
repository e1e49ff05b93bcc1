# Cross-compiles the Linux build for 64-bit ARM (Debian's arm64) with
# Debian's cross compiler (package g++-aarch64-linux-gnu). The programs run
# under qemu-aarch64-static with -L /usr/aarch64-linux-gnu (the tests' cross
# stage), or on an arm64 machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
# Libraries beyond the C and C++ runtimes (OpenSSL) come from Debian's
# multiarch packages of this architecture (libssl-dev:ARCH), under
# /usr/lib/aarch64-linux-gnu: the root "/" with this library architecture finds them
# there and nowhere else, and pkg-config reads only this architecture's
# files (its hints would otherwise name the build machine's libraries).
list(APPEND CMAKE_FIND_ROOT_PATH /)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The Architecture field of its Debian package.
set(TESSAN_DEBIAN_ARCHITECTURE arm64)
