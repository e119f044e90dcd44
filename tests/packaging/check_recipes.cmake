# SPDX-License-Identifier: MIT
# The packages in packaging/ cannot be built here; what can go stale in them
# without a build noticing is checked instead. Run with cmake -P:
# SOURCE_DIR, VERSION (the project's), FILES (the six target files, ';' as '|').
string(REPLACE "|" ";" FILES "${FILES}")
set(failures 0)
macro(fail text)
    message(SEND_ERROR "${text}")
    math(EXPR failures "${failures} + 1")
endmacro()

set(br ${SOURCE_DIR}/packaging/buildroot)
set(owrt ${SOURCE_DIR}/packaging/openwrt/nubo-upload/Makefile)
file(READ ${br}/package/nubo-upload/nubo-upload.mk mk)
file(READ ${br}/package/nubo-upload/nubo-upload.hash hashes)
file(READ ${owrt} makefile)

# The version each downloads, and the hashes Buildroot checks it against.
if(NOT mk MATCHES "\nNUBO_UPLOAD_VERSION = ${VERSION}\n")
    fail("nubo-upload.mk: NUBO_UPLOAD_VERSION is not ${VERSION}")
endif()
if(NOT makefile MATCHES "\nPKG_VERSION:=${VERSION}\n")
    fail("OpenWrt Makefile: PKG_VERSION is not ${VERSION}")
endif()
file(SHA256 ${SOURCE_DIR}/LICENSE license)
foreach(line "sha256  ${license}  LICENSE" "  nubo-upload-${VERSION}.tar.gz")
    string(FIND "${hashes}" "${line}\n" at)
    if(at EQUAL -1)
        fail("nubo-upload.hash lacks \"${line}\"")
    endif()
endforeach()

# Both know the six files: Buildroot gives them to the CGI user, OpenWrt
# keeps them across an upgrade.
string(REPLACE ";" " " files "${FILES}")
foreach(recipe mk makefile)
    if(NOT "${${recipe}}" MATCHES "\nNUBO_UPLOAD_FILES ?:?= ?${files}\n")
        fail("${recipe}: NUBO_UPLOAD_FILES is not \"${files}\"")
    endif()
endforeach()

# The BR2_EXTERNAL tree's name is the one its files refer to.
file(STRINGS ${br}/external.desc name REGEX "^name: ")
string(REGEX REPLACE "^name: " "" name "${name}")
foreach(file external.mk Config.in)
    file(READ ${br}/${file} text)
    string(FIND "${text}" "$BR2_EXTERNAL_${name}_PATH" at)
    string(FIND "${text}" "$(BR2_EXTERNAL_${name}_PATH)" at2)
    if(at EQUAL -1 AND at2 EQUAL -1)
        fail("${file} does not use BR2_EXTERNAL_${name}_PATH")
    endif()
endforeach()

# OpenWrt's ACL group is named after the package, and its menu entry needs
# that group (string(JSON) also stops at a file that is not JSON).
set(owrt_dir ${SOURCE_DIR}/packaging/openwrt/nubo-upload)
file(READ ${owrt_dir}/acl.d/nubo-upload.json acl)
file(READ ${owrt_dir}/menu.d/nubo-upload.json menu)
string(JSON group MEMBER "${acl}" 0)
string(JSON entry MEMBER "${menu}" 0)
string(JSON needs GET "${menu}" "${entry}" depends acl 0)
if(NOT group STREQUAL "nubo-upload" OR NOT needs STREQUAL group)
    fail("OpenWrt: the ACL group is '${group}', the menu entry needs '${needs}'; both must be nubo-upload")
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} check(s) failed")
endif()
