#include "upload.h"

// Each deliverable compiles this file with its own target and limit.
const target_profile upload_profile = {UPLOAD_TARGET_PATH, UPLOAD_SIZE_LIMIT};
