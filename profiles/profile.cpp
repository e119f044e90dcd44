// SPDX-License-Identifier: MIT
#include "upload.h"

// Each deliverable compiles this file with its own name, target and limit,
// and the rule of its slot's kind when files are judged.
target_profile upload_profile = {UPLOAD_PROGRAM_NAME, UPLOAD_TARGET_PATH, UPLOAD_SIZE_LIMIT,
#if UPLOAD_CONTENT_CHECK
                                 &UPLOAD_SLOT_RULE,
#endif
};

bool select_profile(const char *)
{
    return true;
}
