# SPDX-License-Identifier: MIT
# Big-endian MIPS (o32) with glibc.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(TRIPLE mips-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-gcc.cmake)
