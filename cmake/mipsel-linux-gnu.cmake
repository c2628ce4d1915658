# Cross build for the router (MIPS32 little-endian Linux) with Debian's
# mipsel-linux-gnu toolchain (hard-float glibc). Configure with
#
#   cmake -S . -B build/mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
#         -DROUTER_TARGET=ON -DCMAKE_BUILD_TYPE=MinSizeRel
#
# Tests and test discovery run the mipsel binaries through qemu user mode.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# The C library lives under /usr/mipsel-linux-gnu; libraries installed from
# Debian's mipsel architecture (libcjson-dev:mipsel) live in the multiarch
# directories /usr/lib/mipsel-linux-gnu, with headers in /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must describe the mipsel packages, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Headers of Debian's mipsel packages sit in the shared /usr/include
# (cJSON: /usr/include/cjson/cJSON.h). Search it only after the cross C
# library's own directories, so the host's C headers never shadow them. The
# compiler then reports /usr/include as a system directory, and CMake drops any
# -I/usr/include that a package configuration adds.
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")

# qemu finds the program's loader (/lib/ld.so.1) under -L, but that loader
# looks for libc.so.6 in /lib/mipsel-linux-gnu first, where Debian's own mipsel
# C library lands once a mipsel package is installed (libcjson-dev:mipsel).
# A loader and a C library of two different glibc builds crash at the first
# thread, so the loader is pointed at its own C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L /usr/mipsel-linux-gnu
    -E LD_LIBRARY_PATH=/usr/mipsel-linux-gnu/lib)
