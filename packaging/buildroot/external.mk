# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_NUBO_UPLOAD_PATH)/package/*/*.mk))
