# Checks the device build's programs; run with cmake -P.
#   CHECK=format   each is a static, stripped 32-bit ARM EABI5 hard-float
#                  executable, as `file` and the ELF header tell
#   CHECK=size     each is at most BUDGET bytes
#   CHECK=install  `cmake --install` with DESTDIR puts exactly these programs,
#                  executable, into PREFIX/CGI_DIR of a staging tree
# BIN_DIR holds the programs, PROGRAMS lists their names (';' as '|').

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

foreach(name ${PROGRAMS})
    set(path ${BIN_DIR}/${name})
    if(NOT EXISTS ${path})
        fail("${name}: missing in ${BIN_DIR}")
        continue()
    endif()
    if(CHECK STREQUAL "format")
        execute_process(COMMAND ${FILE_COMMAND} -b ${path} OUTPUT_VARIABLE kind
                        OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
        message(STATUS "${name}: ${kind}")
        foreach(expected "ELF 32-bit LSB executable, ARM, EABI5" "statically linked" "stripped")
            string(FIND "${kind}" "${expected}" found)
            if(NOT status EQUAL 0 OR found EQUAL -1 OR kind MATCHES "not stripped")
                fail("${name}: `file` does not report \"${expected}\"")
            endif()
        endforeach()
        # e_flags: EF_ARM_ABI_FLOAT_HARD, or the device's libraries and ours
        # would disagree on how floating point arguments are passed.
        read_le(flags ${path} 36 4)
        math(EXPR hard "${flags} & 0x400")
        if(hard EQUAL 0)
            fail("${name}: not built for the hard-float ABI (e_flags ${flags})")
        endif()
    elseif(CHECK STREQUAL "size")
        file(SIZE ${path} size)
        message(STATUS "${name}: ${size} bytes of ${BUDGET}")
        if(size GREATER BUDGET)
            fail("${name}: ${size} bytes, over the budget of ${BUDGET}")
        endif()
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
    string(REGEX REPLACE "^/+" "" folder "${PREFIX}/${CGI_DIR}")
    file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${STAGE} ${STAGE}/*)
    set(expected)
    foreach(name ${PROGRAMS})
        list(APPEND expected ${folder}/${name})
        execute_process(COMMAND test -x ${STAGE}/${folder}/${name} RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            fail("${name}: not installed as an executable in ${PREFIX}/${CGI_DIR}")
        endif()
    endforeach()
    list(SORT expected)
    list(SORT installed)
    if(NOT installed STREQUAL expected)
        fail("installed: ${installed}; expected: ${expected}")
    endif()
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} check(s) failed")
endif()
