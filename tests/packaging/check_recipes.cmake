# SPDX-License-Identifier: MIT
# What can go stale in the packages in packaging/ without a build noticing
# (Buildroot's is built for real by buildroot.sh), and OpenWrt's install
# run by make with OpenWrt's include files stubbed. Run with cmake -P:
# SOURCE_DIR, VERSION (the project's), FILES (the six target files),
# PROGRAMS (the programs' names), both with '|' for ';', WORK_DIR.
cmake_minimum_required(VERSION 3.21)
string(REPLACE "|" ";" FILES "${FILES}")
string(REPLACE "|" ";" PROGRAMS "${PROGRAMS}")
set(failures 0)
macro(fail text)
    message(SEND_ERROR "${text}")
    math(EXPR failures "${failures} + 1")
endmacro()
# A package's text holds what it must, or it has gone stale.
macro(expect text regex stale)
    if(NOT "${${text}}" MATCHES "${regex}")
        fail("${stale}")
    endif()
endmacro()

set(br ${SOURCE_DIR}/packaging/buildroot)
set(owrt ${SOURCE_DIR}/packaging/openwrt/nubo-upload/Makefile)
file(READ ${br}/package/nubo-upload/nubo-upload.mk mk)
file(READ ${br}/package/nubo-upload/nubo-upload.hash hashes)
file(READ ${owrt} makefile)
file(GLOB bb ${SOURCE_DIR}/packaging/yocto/meta-nubo-upload/recipes-*/nubo-upload/nubo-upload_*.bb)
file(READ "${bb}" bbtext)

# The version each downloads, and the licence's checksums.
file(MD5 ${SOURCE_DIR}/LICENSE license_md5)
expect(mk "\nNUBO_UPLOAD_VERSION = ${VERSION}\n" "nubo-upload.mk: NUBO_UPLOAD_VERSION is not ${VERSION}")
expect(makefile "\nPKG_VERSION:=${VERSION}\n" "OpenWrt Makefile: PKG_VERSION is not ${VERSION}")
expect(bb "/nubo-upload_${VERSION}\\.bb$" "the Yocto recipe is not nubo-upload_${VERSION}.bb: ${bb}")
expect(bbtext "LIC_FILES_CHKSUM = \"file://LICENSE;md5=${license_md5}\""
    "the Yocto recipe's LIC_FILES_CHKSUM is not LICENSE's md5 ${license_md5}")
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

# Every option a package passes is one the project still has. The OpenWrt
file(GLOB lists ${SOURCE_DIR}/CMakeLists.txt ${SOURCE_DIR}/*/CMakeLists.txt ${SOURCE_DIR}/*/*/CMakeLists.txt)
set(known "")
foreach(list ${lists})
    file(STRINGS ${list} lines REGEX "^ *(option|set)\\(UPLOAD_")
    foreach(line ${lines})
        string(REGEX MATCH "^ *option\\((UPLOAD_[A-Z0-9_]+)|^ *set\\((UPLOAD_[A-Z0-9_]+) .* CACHE " m "${line}")
        list(APPEND known ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
    endforeach()
endforeach()
foreach(recipe mk makefile bbtext)
    string(REGEX MATCHALL "-D(UPLOAD_[A-Z0-9_]+)=" passed "${${recipe}}")
    if(NOT passed)
        fail("${recipe}: passes no option")
    endif()
    foreach(option ${passed})
        string(REGEX REPLACE "^-D|=$" "" option "${option}")
        if(NOT option IN_LIST known)
            fail("${recipe}: -D${option} is no option of the project")
        endif()
    endforeach()
endforeach()
# Buildroot builds its own CMake when the machine's is older than the
# project needs.
file(STRINGS ${SOURCE_DIR}/CMakeLists.txt minimum REGEX "^cmake_minimum_required")
string(REGEX REPLACE ".*VERSION ([0-9]+)\\.([0-9]+).*" "\\1_\\2" minimum "${minimum}")
file(READ ${br}/package/nubo-upload/Config.in br_config)
expect(br_config "\n\tselect BR2_HOST_CMAKE_AT_LEAST_${minimum}\n"
    "Buildroot's Config.in does not select BR2_HOST_CMAKE_AT_LEAST_${minimum}")
expect(bbtext "-DCMAKE_BUILD_TYPE=Release" "the Yocto recipe names no build type, and cmake.bbclass passes none")
expect(makefile "\nPKG_MAINTAINER:=[^<\n]+ <[^@> ]+@[^> ]+>\n" "OpenWrt Makefile: PKG_MAINTAINER is not \"Name <address>\"")

# OpenWrt's Package/nubo-upload/install and Build/Prepare, run by make with
# stubs of OpenWrt's include files, on an install tree of the programs' names.
set(stub ${WORK_DIR}/openwrt-stub)
file(REMOVE_RECURSE ${stub})
file(WRITE ${stub}/rules.mk [=[
empty:=
space:=$(empty) $(empty)
qstrip=$(strip $(subst ",,$(1)))
INSTALL_DIR:=install -d -m0755
INSTALL_DATA:=install -m0644
CP:=cp -fpR
]=])
file(WRITE ${stub}/cmake.mk "")
file(WRITE ${stub}/package.mk "PKG_INSTALL_DIR:=${stub}/install\nPKG_BUILD_DIR:=${stub}/build\n" [=[
define BuildPackage
$(eval $(Package/$(1)))
$(info DEPENDS=$(DEPENDS))
$(info SOURCE=$(PKG_SOURCE) $(PKG_SOURCE_URL))
$(info OPTIONS=$(CMAKE_OPTIONS))
install:
	$$(call Package/$(1)/install,$(ROOT))
prepare:
	$$(Build/Prepare)
endef
]=])
file(MAKE_DIRECTORY ${stub}/install/www/cgi-bin)
foreach(file www/index.html www/upload.css www/upload.js www/inspect.js www/login.js www/status.js
    www/cgi-bin/nubo-upload)
    file(TOUCH ${stub}/install/${file})
endforeach()
set(expected lib/upgrade/keep.d/nubo-upload usr/share/luci/menu.d/nubo-upload.json
    usr/share/rpcd/acl.d/nubo-upload.json www/cgi-bin/nubo-upload www/inspect.js www/login.js
    www/luci-static/resources/view/nubo-upload.js www/nubo-upload.html www/status.js www/upload.css www/upload.js)
foreach(program ${PROGRAMS})
    file(CREATE_LINK nubo-upload ${stub}/install/www/cgi-bin/${program} SYMBOLIC)
    list(APPEND expected www/cgi-bin/${program})
endforeach()
list(SORT expected)
set(make make -s -C ${SOURCE_DIR}/packaging/openwrt/nubo-upload TOPDIR=${stub} INCLUDE_DIR=${stub}
    ROOT=${stub}/root CONFIG_NUBO_UPLOAD_PAGE=y CONFIG_NUBO_UPLOAD_TARGET_DIR=/etc)
execute_process(COMMAND ${make} install prepare RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${stub}/root ${stub}/root/*)
list(SORT installed)
if(NOT result EQUAL 0 OR NOT installed STREQUAL expected)
    fail("OpenWrt's install: ${out}installed ${installed}, not ${expected}")
endif()
file(READ ${stub}/root/lib/upgrade/keep.d/nubo-upload keep)
string(REPLACE ";" "\n/etc/" files "/etc/${FILES}\n")
if(NOT keep STREQUAL files)
    fail("OpenWrt's keep.d lists ${keep}")
endif()
string(REGEX MATCH "DEPENDS=[^\n]*" depends "${out}")
string(REGEX MATCH "OPTIONS=[^\n]*" options "${out}")
if(NOT depends MATCHES "\\+libubus" OR NOT depends MATCHES "\\+libubox"
        OR NOT options MATCHES "-DUPLOAD_SESSION_CHECK=ubus")
    fail("OpenWrt's package does not build the ubus session check: ${depends} ${options}")
endif()
# Without a release site: no download, the checkout copied without builds.
if(NOT out MATCHES "SOURCE= *\n" OR NOT EXISTS ${stub}/build/CMakeLists.txt OR EXISTS ${stub}/build/build)
    fail("OpenWrt without a release site does not build from the checkout: ${out}")
endif()
execute_process(COMMAND ${make} CONFIG_NUBO_UPLOAD_SITE=https://example.org/r OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT out MATCHES "SOURCE=nubo-upload-${VERSION}.tar.gz https://example.org/r\n")
    fail("OpenWrt with a release site does not download the tarball: ${out}")
endif()

if(failures GREATER 0)
    message(FATAL_ERROR "${failures} check(s) failed")
endif()
