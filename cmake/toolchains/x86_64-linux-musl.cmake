# SPDX-License-Identifier: MIT
# The same static musl build for this machine's own CPU: runs without an
# emulator and shows what the musl build costs next to the device one.
# Needs Debian's clang, lld, musl-dev and libclang-rt-14-dev.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MUSL_TRIPLE x86_64-unknown-linux-musl)
set(MUSL_MULTIARCH x86_64-linux-musl)
set(MUSL_ARCH_FLAGS "")
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
