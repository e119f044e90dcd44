# SPDX-License-Identifier: MIT
# The device: 32-bit ARMv7-A, Thumb-2, hard-float VFPv3-D16, musl libc.
# Static, stripped executables that run as they are, or here as
# `qemu-arm ./program`. Needs Debian's clang, lld, musl-dev:armhf,
# libclang-rt-14-dev:armhf; their tests here need qemu-user as well.
set(CMAKE_SYSTEM_PROCESSOR armv7)
set(MUSL_TRIPLE armv7a-unknown-linux-musleabihf)
set(MUSL_MULTIARCH arm-linux-musleabihf)
set(MUSL_ARCH_FLAGS "-march=armv7-a -mthumb -mfloat-abi=hard -mfpu=vfpv3-d16")
# qemu-user's static build where there is one: it starts in three quarters
# of the time, and the tests start it thousands of times.
set(MUSL_EMULATOR qemu-arm-static qemu-arm)
# The programs' own start and a few calls in place of musl's (upload/musl_*.cpp):
# some 1.8 KB less. Here the stack protector's guard is a global; on x86-64
# it lies in thread-local storage, which that start does not set up.
# -DUPLOAD_MUSL_OWN_START=OFF builds with musl's, to compare.
if(NOT DEFINED UPLOAD_MUSL_OWN_START)
    set(UPLOAD_MUSL_OWN_START ON)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
