# SPDX-License-Identifier: MIT
# What a maker's toolchain file says, as Buildroot, OpenWrt and Yocto write
# one: their cross GCC and its C library (here Debian's, for the CPU and ABI
# the including file names as TRIPLE), where to look for the target's files,
# and nothing of this project.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TRIPLE}-g++)

# Debian's cross compilers find their C library under this folder themselves
# (they are built for the sysroot /); a --sysroot would move that search.
set(CMAKE_FIND_ROOT_PATH /usr/${TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
