#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "file_identity.h"

enum : unsigned { BASIC_STATS = 0x7ff };   // type, mode, links, inode, size, ...
#ifdef STATX_BASIC_STATS
// Where the C library declares the call too, its layout must be ours.
static_assert(offsetof(file_status, nlink) == offsetof(struct statx, stx_nlink) &&
              offsetof(file_status, mode) == offsetof(struct statx, stx_mode) &&
              offsetof(file_status, ino) == offsetof(struct statx, stx_ino) &&
              offsetof(file_status, size) == offsetof(struct statx, stx_size) &&
              offsetof(file_status, dev_major) == offsetof(struct statx, stx_dev_major) &&
              offsetof(file_status, dev_minor) == offsetof(struct statx, stx_dev_minor) &&
              STATX_BASIC_STATS == BASIC_STATS);
#endif

bool status_at(const char *path, bool follow, file_status &st)
{
    return syscall(SYS_statx, AT_FDCWD, path, follow ? 0 : AT_SYMLINK_NOFOLLOW, BASIC_STATS, &st) == 0;
}

bool status_of(int fd, file_status &st)
{
    return syscall(SYS_statx, fd, "", AT_EMPTY_PATH, BASIC_STATS, &st) == 0;
}
