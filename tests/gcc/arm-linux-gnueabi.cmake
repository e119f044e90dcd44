# SPDX-License-Identifier: MIT
# Soft-float 32-bit ARM with glibc.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TRIPLE arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-gcc.cmake)
