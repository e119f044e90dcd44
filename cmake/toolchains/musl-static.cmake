# SPDX-License-Identifier: MIT
# Shared part of the static musl toolchains: clang and lld from the
# distribution, the C library from Debian's musl-dev for MUSL_MULTIARCH, and
# the compiler's own builtins archive. No C++ library exists for musl here,
# so the include path holds musl's headers only: a C++ header fails at once
# instead of silently pulling in the host's glibc-configured one.
#
# The including file sets MUSL_TRIPLE (clang target), MUSL_MULTIARCH (Debian
# multiarch name), MUSL_ARCH_FLAGS and, for a foreign CPU, MUSL_EMULATOR.

set(CMAKE_SYSTEM_NAME Linux)

find_program(MUSL_CLANG NAMES clang clang-14 REQUIRED)
find_program(MUSL_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_CXX_COMPILER ${MUSL_CLANGXX})
set(CMAKE_C_COMPILER ${MUSL_CLANG})
set(CMAKE_CXX_COMPILER_TARGET ${MUSL_TRIPLE})
set(CMAKE_C_COMPILER_TARGET ${MUSL_TRIPLE})

set(MUSL_INCLUDE_DIR /usr/include/${MUSL_MULTIARCH})
set(MUSL_LIB_DIR /usr/lib/${MUSL_MULTIARCH})
foreach(file ${MUSL_INCLUDE_DIR}/stdio.h ${MUSL_LIB_DIR}/crt1.o ${MUSL_LIB_DIR}/libc.a)
    if(NOT EXISTS ${file})
        message(FATAL_ERROR "${file} is missing: install musl-dev for ${MUSL_MULTIARCH} (scripts/install-deps.sh)")
    endif()
endforeach()

execute_process(
    COMMAND ${MUSL_CLANG} --target=${MUSL_TRIPLE} -rtlib=compiler-rt -print-libgcc-file-name
    OUTPUT_VARIABLE MUSL_BUILTINS OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${MUSL_BUILTINS}")
    message(FATAL_ERROR "compiler builtins for ${MUSL_TRIPLE} not found (${MUSL_BUILTINS}): install libclang-rt-dev for this architecture")
endif()

# -nostdinc drops the compiler's own headers as well; the vector intrinsics
# (emmintrin.h, arm_neon.h) live there, after musl's in the search order.
execute_process(
    COMMAND ${MUSL_CLANG} -print-resource-dir
    OUTPUT_VARIABLE MUSL_CLANG_RESOURCE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT EXISTS "${MUSL_CLANG_RESOURCE_DIR}/include")
    message(FATAL_ERROR "the compiler's own headers are not found (${MUSL_CLANG_RESOURCE_DIR}/include)")
endif()

# Size first: the programs are small and run once per request. No unwind
# tables (nothing unwinds without exceptions), no position independence
# (a static executable at a fixed address), every function and object in a
# section of its own so that the linker drops what nothing references.
set(MUSL_COMPILE_FLAGS
    "${MUSL_ARCH_FLAGS} -nostdinc -isystem ${MUSL_INCLUDE_DIR} -isystem ${MUSL_CLANG_RESOURCE_DIR}/include -fno-pic -fno-stack-protector -fno-unwind-tables -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections -fno-threadsafe-statics")
set(CMAKE_CXX_FLAGS_INIT "${MUSL_COMPILE_FLAGS}")
set(CMAKE_C_FLAGS_INIT "${MUSL_COMPILE_FLAGS}")

# Stripped (-s), unused sections dropped, identical code folded, and no build
# id note: nothing on the device reads it. The ELF layout costs bytes too:
# with no RELRO segment (a static program has nothing for it to protect but
# a few GOT words) and read-only data in the code segment, two loadable
# segments remain, code and data, and each header less is 32 bytes. Code
# stays apart from writable data (no -N): the flash is not worth a writable
# text. The compile flags reach the link line too, where the include options
# mean nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fuse-ld=lld -static -nostdlib -s -Wl,--gc-sections -Wl,--icf=all -Wl,--build-id=none -Wl,-z,norelro -Wl,--no-rosegment -Wno-unused-command-line-argument")

# The kernel loads a program by its program headers alone; the section
# headers, their names and the .comment and attribute notes that -s leaves
# are some 700 bytes nothing on the device reads. `file` then reports "no
# section header" where it said "stripped".
find_program(MUSL_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)

# The C runtime by hand: with -nostdlib the driver adds nothing, and the
# start files must surround the objects in this order. The link map next to
# each program tells where its bytes come from, which the stripped program
# no longer can.
foreach(lang CXX C)
    set(CMAKE_${lang}_LINK_EXECUTABLE
        "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> -Wl,-Map=<TARGET>.map ${MUSL_LIB_DIR}/crt1.o ${MUSL_LIB_DIR}/crti.o <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${MUSL_LIB_DIR}/libc.a ${MUSL_BUILTINS} ${MUSL_LIB_DIR}/crtn.o"
        "${MUSL_OBJCOPY} --strip-sections <TARGET>")
endforeach()

# Only the device's own files are searched for libraries and headers.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Cached, so that a host build testing these programs can read it back. Only
# those tests need it; the programs build without it.
if(MUSL_EMULATOR)
    find_program(MUSL_EMULATOR_PATH NAMES ${MUSL_EMULATOR})
    if(MUSL_EMULATOR_PATH)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${MUSL_EMULATOR_PATH} CACHE FILEPATH "Runs the programs on this machine")
    endif()
endif()

# A size-tuned build unless asked otherwise.
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "Build type")
endif()
