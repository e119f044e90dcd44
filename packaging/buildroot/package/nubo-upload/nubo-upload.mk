################################################################################
#
# nubo-upload
#
################################################################################

# SPDX-License-Identifier: MIT

NUBO_UPLOAD_VERSION = 1.0.0
NUBO_UPLOAD_SITE = $(call qstrip,$(BR2_PACKAGE_NUBO_UPLOAD_SITE))
# Without a release site, the checkout that holds this tree.
ifeq ($(NUBO_UPLOAD_SITE),)
NUBO_UPLOAD_SITE = $(realpath $(BR2_EXTERNAL_NUBO_UPLOAD_PATH)/../..)
NUBO_UPLOAD_SITE_METHOD = local
endif
NUBO_UPLOAD_LICENSE = MIT
NUBO_UPLOAD_LICENSE_FILES = LICENSE
# A checkout is copied without its own builds, which run to hundreds of
# megabytes.
NUBO_UPLOAD_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude /build --exclude node_modules

NUBO_UPLOAD_TARGET = $(call qstrip,$(BR2_PACKAGE_NUBO_UPLOAD_TARGET_DIR))
# Where Buildroot's own web servers serve, as the user they run CGI as.
ifeq ($(BR2_PACKAGE_NUBO_UPLOAD_BUSYBOX_HTTPD),y)
NUBO_UPLOAD_WEB_DIR = /var/www/data
else ifeq ($(BR2_PACKAGE_NUBO_UPLOAD_LIGHTTPD),y)
NUBO_UPLOAD_WEB_DIR = /var/www
NUBO_UPLOAD_CGI_USER = www-data
else
NUBO_UPLOAD_WEB_DIR = $(call qstrip,$(BR2_PACKAGE_NUBO_UPLOAD_WEB_DIR))
NUBO_UPLOAD_CGI_USER = $(call qstrip,$(BR2_PACKAGE_NUBO_UPLOAD_CGI_USER))
endif
NUBO_UPLOAD_FILES = 8021x-client-cert 8021x-client-cert2 8021x-ca-cert 8021x-ca-cert2 8021x-priv 8021x-priv2

NUBO_UPLOAD_CONF_OPTS = \
	-DUPLOAD_BUILD_TESTS=OFF \
	-DUPLOAD_TARGET_DIR=$(NUBO_UPLOAD_TARGET) \
	-DUPLOAD_INSTALL_WEB_DIR=$(NUBO_UPLOAD_WEB_DIR) \
	-DUPLOAD_INSTALL_WEB=$(if $(BR2_PACKAGE_NUBO_UPLOAD_PAGE),ON,OFF) \
	-DUPLOAD_MULTICALL=$(if $(BR2_PACKAGE_NUBO_UPLOAD_MULTICALL),ON,OFF) \
	-DUPLOAD_CONTENT_CHECK=$(if $(BR2_PACKAGE_NUBO_UPLOAD_CONTENT_CHECK),ON,OFF) \
	-DUPLOAD_CROSS_ORIGIN_CHECK=$(if $(BR2_PACKAGE_NUBO_UPLOAD_CROSS_ORIGIN_CHECK),ON,OFF) \
	-DUPLOAD_TRUSTED_ORIGINS="$(subst $(space),;,$(strip $(call qstrip,$(BR2_PACKAGE_NUBO_UPLOAD_TRUSTED_ORIGINS))))" \
	-DUPLOAD_CLIENT_CTRL="$(call qstrip,$(BR2_PACKAGE_NUBO_UPLOAD_CLIENT_CTRL))" \
	-DCMAKE_EXE_LINKER_FLAGS="$(TARGET_LDFLAGS) -Wl,--as-needed"

# A CGI user other than root can replace only what is its own: a target
# directory of its own, or in /etc, shared with everything else, the six
# files (written in place there, see the README). lighttpd's www-data is
# the skeleton's; another server's user is made here.
ifneq ($(NUBO_UPLOAD_CGI_USER),)
ifeq ($(BR2_PACKAGE_NUBO_UPLOAD_OTHER_SERVER),y)
define NUBO_UPLOAD_USERS
	$(NUBO_UPLOAD_CGI_USER) -1 $(NUBO_UPLOAD_CGI_USER) -1 * - - - nubo-upload CGI user
endef
endif
ifeq ($(NUBO_UPLOAD_TARGET),/etc)
define NUBO_UPLOAD_CGI_USER_TARGETS
	touch $(addprefix $(TARGET_DIR)/etc/,$(NUBO_UPLOAD_FILES))
endef
define NUBO_UPLOAD_PERMISSIONS
	$(foreach f,$(NUBO_UPLOAD_FILES),/etc/$(f) f 600 $(NUBO_UPLOAD_CGI_USER) $(NUBO_UPLOAD_CGI_USER) - - - - -$(sep))
endef
else
define NUBO_UPLOAD_CGI_USER_TARGETS
	mkdir -p $(TARGET_DIR)$(NUBO_UPLOAD_TARGET)
endef
define NUBO_UPLOAD_PERMISSIONS
	$(NUBO_UPLOAD_TARGET) d 700 $(NUBO_UPLOAD_CGI_USER) $(NUBO_UPLOAD_CGI_USER) - - - - -
endef
endif
NUBO_UPLOAD_POST_INSTALL_TARGET_HOOKS += NUBO_UPLOAD_CGI_USER_TARGETS
endif

$(eval $(cmake-package))
