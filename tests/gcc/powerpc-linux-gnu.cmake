# SPDX-License-Identifier: MIT
# 32-bit PowerPC with glibc.
set(CMAKE_SYSTEM_PROCESSOR ppc)
set(TRIPLE powerpc-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-gcc.cmake)
