// SPDX-License-Identifier: MIT
/* Device-side helper for the flash layouts: busybox has no UBI tools, and
 * nothing in it tells whether the kernel takes sendfile into a file system.
 *
 *   flashtool mkvol /dev/ubiN NAME BYTES   a dynamic UBI volume of BYTES
 *   flashtool sendfile SRC DST             copies SRC to a new file DST with
 *       one sendfile, prints "sendfile" or "fallback ERRNO" (what the upload
 *       programs would then do), and removes DST again
 */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

/* The kernel's UBI_IOCMKVOL request (include/uapi/mtd/ubi-user.h); the
 * device's C library ships no kernel headers. */
struct ubi_mkvol_req {
    int32_t vol_id;
    int32_t alignment;
    int64_t bytes;
    int8_t vol_type;
    uint8_t flags;
    int16_t name_len;
    int8_t padding[4];
    char name[128];
} __attribute__((packed));
_Static_assert(sizeof(struct ubi_mkvol_req) == 152, "UBI_IOCMKVOL takes 152 bytes");
#define UBI_IOCMKVOL _IOW('o', 0, struct ubi_mkvol_req)
#define UBI_VOL_NUM_AUTO (-1)
#define UBI_DYNAMIC_VOLUME 3

static int mkvol(const char *dev, const char *name, const char *bytes) {
    struct ubi_mkvol_req req;
    memset(&req, 0, sizeof req);
    size_t len = strlen(name);
    if (len >= sizeof req.name) {
        fprintf(stderr, "flashtool: volume name too long\n");
        return 1;
    }
    req.vol_id = UBI_VOL_NUM_AUTO;
    req.alignment = 1;
    req.bytes = strtoll(bytes, NULL, 10);
    req.vol_type = UBI_DYNAMIC_VOLUME;
    req.name_len = (int16_t)len;
    memcpy(req.name, name, len);
    int fd = open(dev, O_RDONLY);
    if (fd < 0 || ioctl(fd, UBI_IOCMKVOL, &req) != 0) {
        fprintf(stderr, "flashtool: mkvol %s %s: %s\n", dev, name, strerror(errno));
        return 1;
    }
    close(fd);
    return 0;
}

static int probe_sendfile(const char *src, const char *dst) {
    struct stat st;
    int in = open(src, O_RDONLY);
    int out = open(dst, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (in < 0 || out < 0 || fstat(in, &st) != 0) {
        fprintf(stderr, "flashtool: sendfile %s %s: %s\n", src, dst, strerror(errno));
        return 1;
    }
    ssize_t n = sendfile(out, in, NULL, (size_t)st.st_size);
    if (n == (ssize_t)st.st_size && fsync(out) == 0)
        printf("sendfile\n");
    else
        printf("fallback %s\n", n < 0 ? strerror(errno) : "short");
    close(out);
    close(in);
    unlink(dst);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "mkvol") == 0)
        return mkvol(argv[2], argv[3], argv[4]);
    if (argc == 4 && strcmp(argv[1], "sendfile") == 0)
        return probe_sendfile(argv[2], argv[3]);
    fprintf(stderr, "usage: flashtool mkvol /dev/ubiN NAME BYTES | flashtool sendfile SRC DST\n");
    return 2;
}
