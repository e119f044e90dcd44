# SPDX-License-Identifier: MIT
# A device maker's toolchain file, as Buildroot and Yocto write one: their
# cross GCC and its C library (here Debian's, for soft-float ARM with glibc),
# where to look for the target's files, and nothing of this project.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

# Debian's cross compilers find their C library under this folder themselves
# (they are built for the sysroot /); a --sysroot would move that search.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
