# SPDX-License-Identifier: MIT
################################################################################
#
# nubo-upload
#
################################################################################

NUBO_UPLOAD_VERSION = 1.0
# The checkout this folder lies in; point it at a release when copied out.
NUBO_UPLOAD_SITE = $(NUBO_UPLOAD_PKGDIR)/../../..
NUBO_UPLOAD_SITE_METHOD = local
NUBO_UPLOAD_CONF_OPTS = -DUPLOAD_MULTICALL=ON -DUPLOAD_INSTALL_CGI_DIR=/var/www/cgi-bin

$(eval $(cmake-package))
