// SPDX-License-Identifier: MIT
#include "status.h"
#include "upload.h"

// The six slots, from the same table as the six programs.
static constexpr status_slot SLOTS[] = {
#include "status_table.inc"
};

int main()
{
    keep_standard_fds();
    return status_main(SLOTS, sizeof SLOTS / sizeof *SLOTS, UPLOAD_TARGET_DIR);
}
