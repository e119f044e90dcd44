// SPDX-License-Identifier: MIT
// The read-only status program: what each slot holds and what the 802.1X
// client makes of it, as one JSON document.
#ifndef STATUS_H
#define STATUS_H

#include <stddef.h>

struct status_slot {
    const char *file;   // in the target directory
    bool key;
};

// Answers one GET; the slots in order, all in `dir`.
int status_main(const status_slot *slots, size_t count, const char *dir);

#endif
