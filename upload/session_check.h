// SPDX-License-Identifier: MIT
// Whether a session id names a logged-in user who may replace the keys.
#ifndef SESSION_CHECK_H
#define SESSION_CHECK_H

#include <stddef.h>

// True only when rpcd answers that the session `id` (its `length` bytes,
// 32 hex digits) is alive and has write access to the package's ACL group.
// Anything else, a failure to ask included, is false.
bool session_allowed(const char *id, size_t length);

#endif
