# SPDX-License-Identifier: MIT
# Little-endian MIPS (o32) with glibc.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(TRIPLE mipsel-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-gcc.cmake)
