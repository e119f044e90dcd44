// SPDX-License-Identifier: MIT
#include <string.h>
#include <unistd.h>

#include "status.h"
#include "upload.h"

// All six deliverables and the status program in one program, told apart by the name it was started
// under, as busybox tells its applets apart. The target directory is stored
// once, and the usage line is made from the same names.
struct profile_entry {
    const char *name;
    const char *file;
    uint32_t limit;
#if UPLOAD_CONTENT_CHECK
    const slot_rule *rule;
#endif
};
static constexpr profile_entry profiles[] = {
#include "profile_table.inc"
};
#if UPLOAD_MULTICALL_STATUS
static constexpr status_slot slots[] = {
#include "status_table.inc"
};
static constexpr char STATUS_NAME[] = "upload-status";
#else
static constexpr char STATUS_NAME[] = "";
#endif
static constexpr char TARGET_DIR[] = UPLOAD_TARGET_DIR "/";
static constexpr char USAGE[] = "usage (" UPLOAD_VERSION "): start as one of:";

static constexpr size_t longest_file()
{
    size_t longest = 0;
    for (const profile_entry &profile : profiles)
        longest = __builtin_strlen(profile.file) > longest ? __builtin_strlen(profile.file) : longest;
    return longest;
}

static constexpr size_t usage_length()
{
    size_t length = sizeof USAGE - 1 + 1 + sizeof STATUS_NAME;   // the newline, its space
    for (const profile_entry &profile : profiles)
        length += 1 + __builtin_strlen(profile.name);
    return length;
}

target_profile upload_profile;

bool select_profile(const char *program)
{
    if (program) {
        const char *slash = strrchr(program, '/');
        const char *name = slash ? slash + 1 : program;
#if UPLOAD_MULTICALL_STATUS
        // The status program answers and ends here: it has no profile.
        if (strcmp(name, STATUS_NAME) == 0)
            _exit(status_main(slots, sizeof slots / sizeof *slots, UPLOAD_TARGET_DIR));
#endif
        for (const profile_entry &profile : profiles) {
            if (strcmp(name, profile.name) == 0) {
                static char path[sizeof TARGET_DIR + longest_file()];
                memcpy(path, TARGET_DIR, sizeof TARGET_DIR - 1);
                memcpy(path + sizeof TARGET_DIR - 1, profile.file, strlen(profile.file) + 1);
                upload_profile = {profile.name, path, profile.limit,
#if UPLOAD_CONTENT_CHECK
                                  profile.rule,
#endif
                };
                return true;
            }
        }
    }
    // A single line in a single write, so that a server's error log keeps
    // it whole.
    char line[usage_length()];
    size_t length = sizeof USAGE - 1;
    memcpy(line, USAGE, length);
    for (const profile_entry &profile : profiles) {
        size_t name_length = strlen(profile.name);
        line[length] = ' ';
        memcpy(line + length + 1, profile.name, name_length);
        length += 1 + name_length;
    }
    if (sizeof STATUS_NAME > 1) {
        line[length] = ' ';
        memcpy(line + length + 1, STATUS_NAME, sizeof STATUS_NAME - 1);
        length += sizeof STATUS_NAME;
    }
    line[length++] = '\n';
    ssize_t ignored = write(2, line, length);
    (void)ignored;
    return false;
}
