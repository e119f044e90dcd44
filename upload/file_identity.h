// SPDX-License-Identifier: MIT
// What the commit learns about files: type, mode, links, size and identity.
#ifndef FILE_IDENTITY_H
#define FILE_IDENTITY_H

#include <stdint.h>

// As the kernel's statx call fills it, the same on every architecture. The
// C library's stat family would fill a whole struct stat: musl's tries statx
// and converts, 800 bytes of the device program.
struct file_status {
    uint32_t mask, blksize;
    uint64_t attributes;
    uint32_t nlink, uid, gid;
    uint16_t mode, spare;
    uint64_t ino, size, blocks, attributes_mask;
    uint64_t times[8];  // access, birth, change, modification
    uint32_t rdev_major, rdev_minor, dev_major, dev_minor;
    uint64_t reserved[14];
};
static_assert(sizeof(file_status) == 256);

// The file at the path, a link itself unless `follow`. False,
// with errno set, when the kernel cannot tell.
bool status_at(const char *path, file_status &st, bool follow = false);
bool status_of(int fd, file_status &st);

// Whether the two are one file: the same device and inode.
bool same_file(const file_status &a, const file_status &b);

// Whether the path names the file open at fd, whose status is left in held.
bool names_file(const char *path, int fd, file_status &held);

#endif
