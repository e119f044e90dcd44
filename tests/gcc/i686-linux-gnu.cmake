# SPDX-License-Identifier: MIT
# 32-bit x86 with glibc.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TRIPLE i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-gcc.cmake)
