# SPDX-License-Identifier: MIT
# Checks the device build's programs; run with cmake -P.
#   CHECK=format   each is a static, stripped 32-bit ARM EABI5 hard-float
#                  executable, as `file` and the ELF header tell
#   CHECK=size     each program file and the links to it together are at
#                  most BUDGET bytes, and its link map names no allocator
#                  and, with the programs' own start, no musl process state
#   CHECK=install  `cmake --install` with DESTDIR puts exactly these programs,
#                  executable, into PREFIX/CGI_DIR of a staging tree
#   CHECK=usage    the multi-call program started under any other name
#                  answers nothing, writes nothing to TARGET_DIR, prints the
#                  one usage line naming every program and exits 2
# BIN_DIR holds the programs, PROGRAMS lists their names (';' as '|');
# MULTICALL names the one program they link to, if they are links.
# STANDALONE names a program installed beside them as a file of its own.

string(REPLACE "|" ";" PROGRAMS "${PROGRAMS}")
set(failures 0)
macro(fail text)
    message(SEND_ERROR "${text}")
    math(EXPR failures "${failures} + 1")
endmacro()

# Little-endian unsigned value of `count` bytes at `offset` of a file.
function(read_le out path offset count)
    file(READ ${path} hex OFFSET ${offset} LIMIT ${count} HEX)
    set(value 0)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last} 0 -1)
        math(EXPR at "${i} * 2")
        string(SUBSTRING ${hex} ${at} 2 byte)
        math(EXPR value "${value} * 256 + 0x${byte}")
    endforeach()
    set(${out} ${value} PARENT_SCOPE)
endfunction()

set(groups)
# Every file of the target directory with a hash of its content.
function(target_files out)
    file(GLOB files LIST_DIRECTORIES false ${TARGET_DIR}/*)
    set(listing)
    foreach(file ${files})
        file(MD5 ${file} hash)
        list(APPEND listing "${file}=${hash}")
    endforeach()
    set(${out} "${listing}" PARENT_SCOPE)
endfunction()

foreach(name ${PROGRAMS})
    set(path ${BIN_DIR}/${name})
    if(MULTICALL AND NOT IS_SYMLINK ${path})
        fail("${name}: not a symbolic link to ${MULTICALL}")
    endif()
    if(NOT EXISTS ${path})
        fail("${name}: missing in ${BIN_DIR}")
        continue()
    endif()
    if(CHECK STREQUAL "format")
        execute_process(COMMAND ${FILE_COMMAND} -b -L ${path} OUTPUT_VARIABLE kind
                        OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
        message(STATUS "${name}: ${kind}")
        foreach(expected "ELF 32-bit LSB executable, ARM, EABI5" "statically linked")
            string(FIND "${kind}" "${expected}" found)
            if(NOT status EQUAL 0 OR found EQUAL -1)
                fail("${name}: `file` does not report \"${expected}\"")
            endif()
        endforeach()
        # Without section headers `file` cannot tell, and says so.
        if(NOT kind MATCHES ", (stripped|no section header)$")
            fail("${name}: not stripped")
        endif()
        # e_flags: EF_ARM_ABI_FLOAT_HARD, or the device's libraries and ours
        # would disagree on how floating point arguments are passed.
        read_le(flags ${path} 36 4)
        math(EXPR hard "${flags} & 0x400")
        if(hard EQUAL 0)
            fail("${name}: not built for the hard-float ABI (e_flags ${flags})")
        endif()
    elseif(CHECK STREQUAL "size")
        # A link costs the bytes of its target's name, and its program is
        # counted once for all links to it.
        file(REAL_PATH ${path} program)
        string(MAKE_C_IDENTIFIER "${program}" group)
        if(NOT DEFINED size_${group})
            file(SIZE ${program} size_${group})
            list(APPEND groups ${group})
            set(names_${group})
            # The programs keep their memory in static storage; a heap would
            # bring musl's allocator, some 5 KB, back in.
            file(STRINGS ${program}.map heap REGEX "libc\\.a\\((malloc|lite_malloc|free|calloc|realloc)\\.lo\\)")
            if(heap)
                fail("${name}: links the heap: ${heap}")
            endif()
            # The programs' own start (upload/musl_start.cpp) fills in none of
            # the process state musl's start keeps in libc.lo (auxiliary
            # vector, page size, program name): nothing may read it.
            file(STRINGS ${program}.map own_start REGEX "musl_start\\.cpp\\.o")
            file(STRINGS ${program}.map state REGEX "libc\\.a\\(libc\\.lo\\)")
            if(own_start AND state)
                fail("${name}: reads musl's process state, which its own start leaves unset: ${state}")
            endif()
        endif()
        if(IS_SYMLINK ${path})
            file(READ_SYMLINK ${path} link)
            string(LENGTH "${link}" length)
            math(EXPR size_${group} "${size_${group}} + ${length}")
        endif()
        list(APPEND names_${group} ${name})
    endif()
endforeach()

foreach(group ${groups})
    message(STATUS "${names_${group}}: ${size_${group}} bytes of ${BUDGET}")
    if(size_${group} GREATER BUDGET)
        fail("${names_${group}}: ${size_${group}} bytes, over the budget of ${BUDGET}")
    endif()
endforeach()

if(CHECK STREQUAL "install")
    file(REMOVE_RECURSE ${STAGE})
    set(ENV{DESTDIR} ${STAGE})
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                    RESULT_VARIABLE status OUTPUT_QUIET)
    if(NOT status EQUAL 0)
        fail("cmake --install ${BUILD_DIR} failed")
    endif()
    # Every file under the staging tree, against the names expected.
    # An absolute CGI_DIR (a build system's /var/www/cgi-bin) ignores PREFIX.
    cmake_path(ABSOLUTE_PATH CGI_DIR BASE_DIRECTORY ${PREFIX} OUTPUT_VARIABLE folder)
    string(REGEX REPLACE "^/+" "" folder "${folder}")
    file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${STAGE} ${STAGE}/*)
    set(expected)
    foreach(name ${PROGRAMS} ${MULTICALL})
        list(APPEND expected ${folder}/${name})
        execute_process(COMMAND test -x ${STAGE}/${folder}/${name} RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            fail("${name}: not installed as an executable in ${PREFIX}/${CGI_DIR}")
        endif()
        if(MULTICALL AND NOT name STREQUAL MULTICALL)
            # Relative, so that the staged tree works wherever it is put.
            file(READ_SYMLINK ${STAGE}/${folder}/${name} link)
            if(NOT link STREQUAL MULTICALL)
                fail("${name}: installed as \"${link}\", not as a link to ${MULTICALL}")
            endif()
        endif()
    endforeach()
    # The status program beside a multi-call program that does not serve it.
    foreach(name ${STANDALONE})
        list(APPEND expected ${folder}/${name})
    endforeach()
    list(SORT expected)
    list(SORT installed)
    if(NOT installed STREQUAL expected)
        fail("installed: ${installed}; expected: ${expected}")
    endif()
    # A package manager removes what the manifest lists: the links too.
    file(STRINGS ${BUILD_DIR}/install_manifest.txt manifest)
    list(TRANSFORM manifest REPLACE "^${STAGE}" "")
    list(TRANSFORM manifest REPLACE "^/+" "")
    list(SORT manifest)
    if(NOT manifest STREQUAL expected)
        fail("install_manifest.txt: ${manifest}; expected: ${expected}")
    endif()
endif()

if(CHECK STREQUAL "usage")
    # Under a name of no program, and under the program's own, with a request
    # that would otherwise replace a target.
    file(REMOVE_RECURSE ${STAGE})
    file(MAKE_DIRECTORY ${STAGE} ${TARGET_DIR})
    set(boundary usageCheck)
    file(WRITE ${STAGE}/body "--${boundary}\r\nContent-Disposition: form-data; name=\"filedata\"\r\n\r\nkey\r\n--${boundary}--\r\n")
    file(SIZE ${STAGE}/body length)
    file(CREATE_LINK ${BIN_DIR}/${MULTICALL} ${STAGE}/upload-unknown SYMBOLIC)
    target_files(before)
    foreach(started ${STAGE}/upload-unknown ${BIN_DIR}/${MULTICALL})
        get_filename_component(name ${started} NAME)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env "CONTENT_TYPE=multipart/form-data; boundary=${boundary}"
                CONTENT_LENGTH=${length} REQUEST_METHOD=POST ${EMULATOR} ${started}
            INPUT_FILE ${STAGE}/body OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
        if(NOT status EQUAL 2)
            fail("started as ${name}: exit status ${status}, not 2")
        endif()
        if(NOT out STREQUAL "")
            fail("started as ${name}: answered \"${out}\"")
        endif()
        if(NOT err MATCHES "^[^\n]+\n$")
            fail("started as ${name}: \"${err}\" is not one line")
        endif()
        foreach(program ${PROGRAMS})
            if(NOT err MATCHES " ${program}( |\n)")
                fail("started as ${name}: the usage line does not name ${program}")
            endif()
        endforeach()
        # Word for word, in the order of the table it is made from.
        list(JOIN PROGRAMS " " names)
        if(NOT err STREQUAL "usage (${VERSION}): start as one of: ${names}\n")
            fail("started as ${name}: \"${err}\" is not the usage line")
        endif()
    endforeach()
    target_files(after)
    if(NOT before STREQUAL after)
        fail("the target directory changed: ${before} became ${after}")
    endif()
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} check(s) failed")
endif()
