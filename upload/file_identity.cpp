// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "file_identity.h"

// A maker's toolchain made for a kernel before 4.11 lacks the number; the
// test build that never calls statx is built as against such headers.
#ifdef UPLOAD_TEST_OLDER_CALLS
#undef SYS_statx
#endif
#ifndef SYS_statx
#if defined(__arm__)
#define SYS_statx 397
#elif defined(__aarch64__)
#define SYS_statx 291
#elif defined(__x86_64__)
#define SYS_statx 332
#elif defined(__i386__) || defined(__powerpc__)
#define SYS_statx 383
#elif defined(__mips__) && _MIPS_SIM == _ABIO32
#define SYS_statx 4366
#else
#error "statx's number for this CPU is unknown: build against kernel headers of 4.11 or later"
#endif
#endif

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

// Kernels before 4.11 have no statx, and some sandboxes refuse it: there the
// older calls answer, each in the kernel's own layout. Routers' CPUs: 32-bit
// ARM and x86 share one, MIPS o32 and 32-bit PowerPC have their own, and the
// 64-bit ones the C library's struct stat.
#if (defined(__arm__) && defined(__ARM_EABI__)) || defined(__i386__)
#define STATUS_AT SYS_fstatat64
#define STATUS_OF SYS_fstat64
struct old_status {
    uint64_t dev;
    uint32_t pad0, ino32, mode, nlink, uid, gid;
    uint64_t rdev;
    uint32_t pad1;
    int64_t size;
    uint32_t blksize;
    uint64_t blocks;
    uint32_t times[6];
    uint64_t ino;
};
// 64-bit fields are aligned to 4 bytes on x86, to 8 on ARM.
static_assert(offsetof(old_status, size) == (alignof(uint64_t) == 8 ? 48 : 44) &&
              sizeof(old_status) == (alignof(uint64_t) == 8 ? 104 : 96) &&
              offsetof(old_status, ino) == sizeof(old_status) - 8);
#elif defined(__mips__) && _MIPS_SIM == _ABIO32
#define STATUS_AT SYS_fstatat64
#define STATUS_OF SYS_fstat64
struct old_status {
    uint32_t dev, pad0[3];
    uint64_t ino;
    uint32_t mode, nlink, uid, gid, rdev, pad1[3];
    int64_t size;
    uint32_t times[6], blksize, pad2;
    uint64_t blocks;
};
static_assert(sizeof(old_status) == 104 && offsetof(old_status, ino) == 16 && offsetof(old_status, size) == 56);
#elif defined(__powerpc__) && !defined(__powerpc64__)
#define STATUS_AT SYS_fstatat64
#define STATUS_OF SYS_fstat64
struct old_status {
    uint64_t dev, ino;
    uint32_t mode, nlink, uid, gid;
    uint64_t rdev;
    uint16_t pad2;
    int64_t size;
    uint32_t blksize;
    uint64_t blocks;
    uint32_t times[6], unused[2];
};
static_assert(sizeof(old_status) == 104 && offsetof(old_status, size) == 48 && offsetof(old_status, blocks) == 64);
#elif defined(__x86_64__)
#define STATUS_AT SYS_newfstatat
#define STATUS_OF SYS_fstat
struct old_status {
    uint64_t dev, ino, nlink;
    uint32_t mode, uid, gid, pad0;
    uint64_t rdev;
    int64_t size;
    uint64_t rest[11];
};
#elif defined(__aarch64__)
#define STATUS_AT SYS_newfstatat
#define STATUS_OF SYS_fstat
struct old_status {
    uint64_t dev, ino;
    uint32_t mode, nlink, uid, gid;
    uint64_t rdev, pad1;
    int64_t size;
    uint64_t rest[9];
};
#endif
#if defined(__x86_64__) || defined(__aarch64__)
// The C library's struct stat is the kernel's here.
static_assert(sizeof(old_status) == sizeof(struct stat) && offsetof(old_status, size) == offsetof(struct stat, st_size) &&
              offsetof(old_status, ino) == offsetof(struct stat, st_ino) &&
              offsetof(old_status, mode) == offsetof(struct stat, st_mode));
#endif

// Decided once: after the first refusal every call takes the older way.
#ifdef UPLOAD_TEST_OLDER_CALLS
static bool statx_refused = true;
#else
static bool statx_refused;
#endif

static bool status(int fd, const char *path, int flags, file_status &st)
{
    if (!statx_refused) {
        if (syscall(SYS_statx, fd, path, flags, BASIC_STATS, &st) == 0)
            return true;
        // statx itself never answers EPERM; only a policy that refuses it does.
        if (errno != ENOSYS && errno != EPERM)
            return false;
        statx_refused = true;
    }
#ifdef STATUS_AT
    old_status old;
    if ((*path ? syscall(STATUS_AT, fd, path, &old, flags) : syscall(STATUS_OF, fd, &old)) != 0)
        return false;
    st.mode = static_cast<uint16_t>(old.mode);
    st.nlink = static_cast<uint32_t>(old.nlink);
    st.uid = old.uid;
    st.ino = old.ino;
    st.size = static_cast<uint64_t>(old.size);
    // Only ever compared, so the kernel's encoded number serves as it is.
    st.dev_major = static_cast<uint32_t>(static_cast<uint64_t>(old.dev) >> 32);
    st.dev_minor = static_cast<uint32_t>(old.dev);
    return true;
#else
    return false;
#endif
}

bool status_at(const char *path, file_status &st, bool follow)
{
    return status(AT_FDCWD, path, follow ? 0 : AT_SYMLINK_NOFOLLOW, st);
}

bool status_of(int fd, file_status &st)
{
    return status(fd, "", AT_EMPTY_PATH, st);
}

bool same_file(const file_status &a, const file_status &b)
{
    return a.dev_major == b.dev_major && a.dev_minor == b.dev_minor && a.ino == b.ino;
}

bool names_file(const char *path, int fd, file_status &held)
{
    file_status named;
    return status_of(fd, held) && status_at(path, named) && same_file(held, named);
}
