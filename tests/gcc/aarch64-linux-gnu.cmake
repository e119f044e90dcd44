# SPDX-License-Identifier: MIT
# 64-bit ARM with glibc.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-gcc.cmake)
