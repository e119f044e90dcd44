#include <string.h>
#include <unistd.h>

#include "upload.h"

// All six deliverables in one program, told apart by the name it was started
// under, as busybox tells its applets apart.
static const target_profile profiles[] = {
#include "profile_table.inc"
};
static const char USAGE[] = UPLOAD_USAGE;

target_profile upload_profile;

bool select_profile(const char *program)
{
    if (program) {
        const char *slash = strrchr(program, '/');
        const char *name = slash ? slash + 1 : program;
        for (const target_profile &profile : profiles) {
            if (strcmp(name, profile.name) == 0) {
                upload_profile = profile;
                return true;
            }
        }
    }
    // A single line, so that a server's error log keeps it whole.
    ssize_t ignored = write(2, USAGE, sizeof USAGE - 1);
    (void)ignored;
    return false;
}
