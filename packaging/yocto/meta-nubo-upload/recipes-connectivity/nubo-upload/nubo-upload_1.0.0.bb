# SPDX-License-Identifier: MIT
SUMMARY = "CGI programs that store 802.1X certificates and keys from a form upload"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=8b78a3612e8753393fa2ff096ab9b66b"

# The release tarball from NUBO_UPLOAD_SITE (set it in local.conf), or
# without one the checkout that holds this layer.
NUBO_UPLOAD_SITE ??= ""
SRC_URI = "${@'${NUBO_UPLOAD_SITE}/${BP}.tar.gz' if d.getVar('NUBO_UPLOAD_SITE') else ''}"
SRC_URI[sha256sum] = "a7d9461518f034f841f4f4233efff1fd3bf03651075a76ab3693efb8ee6776d9"
# Taken while this file is read: THISDIR is another file's later.
NUBO_UPLOAD_CHECKOUT := "${@os.path.abspath(d.getVar('THISDIR') + '/../../../../..')}"
EXTERNALSRC ?= "${NUBO_UPLOAD_CHECKOUT}"

inherit cmake ${@'' if d.getVar('NUBO_UPLOAD_SITE') else 'externalsrc'}

# Where oe-core's lighttpd serves (its document root), as root; busybox
# httpd's is /srv/www.
NUBO_UPLOAD_WEB_DIR ??= "/www/pages"
NUBO_UPLOAD_TARGET_DIR ??= "/etc"
# Origins (scheme://host[:port]) whose posts the cross-site check lets
# through, separated by ';'.
NUBO_UPLOAD_TRUSTED_ORIGINS ??= ""
# wpa_supplicant's control socket (/run/wpa_supplicant/eth0), told to read
# its files again after each stored upload; only where its networks come
# from its own configuration file. Empty for none.
NUBO_UPLOAD_CLIENT_CTRL ??= ""

PACKAGECONFIG ??= "multicall cross-origin-check page"
PACKAGECONFIG[multicall] = "-DUPLOAD_MULTICALL=ON,-DUPLOAD_MULTICALL=OFF"
PACKAGECONFIG[page] = "-DUPLOAD_INSTALL_WEB=ON,-DUPLOAD_INSTALL_WEB=OFF"
PACKAGECONFIG[content-check] = "-DUPLOAD_CONTENT_CHECK=ON,-DUPLOAD_CONTENT_CHECK=OFF"
PACKAGECONFIG[cross-origin-check] = "-DUPLOAD_CROSS_ORIGIN_CHECK=ON,-DUPLOAD_CROSS_ORIGIN_CHECK=OFF"

# cmake.bbclass names no build type, and the project's own default keeps
# debug information.
EXTRA_OECMAKE = " \
    -DCMAKE_BUILD_TYPE=Release \
    -DUPLOAD_BUILD_TESTS=OFF \
    -DUPLOAD_INSTALL_WEB_DIR=${NUBO_UPLOAD_WEB_DIR} \
    -DUPLOAD_TARGET_DIR=${NUBO_UPLOAD_TARGET_DIR} \
    -DUPLOAD_TRUSTED_ORIGINS='${NUBO_UPLOAD_TRUSTED_ORIGINS}' \
    -DUPLOAD_CLIENT_CTRL='${NUBO_UPLOAD_CLIENT_CTRL}' \
"

# The programs (and the page) in the web folder, no other path. They need
# only the C library, which the shared library scan finds: no RDEPENDS.
FILES:${PN} = "${NUBO_UPLOAD_WEB_DIR}"
