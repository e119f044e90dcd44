// SPDX-License-Identifier: MIT
// Preloaded into a host build of a program to make the system calls that no
// real file system will fail on demand fail: reading the spool back (or
// refusing to copy it in the kernel), syncing
// the target or its directory, renaming, truncating, creating the side file.
// "relink" points the target's link elsewhere just after the rename.
// It also records the mode of the file written at its first write, and sets
// the clock to any date or fails it.
// UPLOAD_FAULT is a comma-separated list of the faults to make.
// UPLOAD_FAULT_KILL_AT=N:SIGNAL sends the program the signal as it makes the
// Nth of the calls seen here.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static bool fault(const char *name)
{
    const char *f = getenv("UPLOAD_FAULT");
    size_t length = strlen(name);
    for (; f && *f; f = strchr(f, ',') ? strchr(f, ',') + 1 : nullptr)
        if (strncmp(f, name, length) == 0 && (f[length] == ',' || f[length] == '\0'))
            return true;
    return false;
}

static bool is_directory(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

static bool names(int fd, const char *prefix)
{
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0)
        return false;
    path[n] = '\0';
    return prefix && strncmp(path, prefix, strlen(prefix)) == 0;
}

template <typename F> static F next(const char *symbol)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

static void count_call()
{
    static long calls;
    const char *at = getenv("UPLOAD_FAULT_KILL_AT");
    if (at && ++calls == atol(at))
        kill(getpid(), atoi(strchr(at, ':') + 1));
}

extern "C" ssize_t read(int fd, void *buf, size_t count)
{
    static auto real = next<ssize_t (*)(int, void *, size_t)>("read");
    count_call();
    if (fd > 2 && fault("spool_read") && names(fd, "/tmp/nubo-upload.")) {
        errno = EIO;
        return -1;
    }
    return real(fd, buf, count);
}

extern "C" int fsync(int fd)
{
    static auto real = next<int (*)(int)>("fsync");
    count_call();
    bool dir = is_directory(fd);
    if (fault("target_fsync") || (dir && fault("dir_fsync"))) {
        errno = EIO;
        return -1;
    }
    if (dir && fault("dir_fsync_einval")) {
        errno = EINVAL;
        return -1;
    }
    return real(fd);
}

extern "C" int rename(const char *from, const char *to)
{
    static auto real = next<int (*)(const char *, const char *)>("rename");
    count_call();
    if (fault("rename")) {
        errno = EIO;
        return -1;
    }
    int done = real(from, to);
    if (fault("relink")) {
        char link[4096];
        snprintf(link, sizeof link, "%s8021x-priv", getenv("UPLOAD_FAULT_TARGET"));
        unlink(link);
        symlink("elsewhere", link);
    }
    return done;
}

extern "C" int ftruncate(int fd, off_t length)
{
    static auto real = next<int (*)(int, off_t)>("ftruncate");
    count_call();
    if (fault("ftruncate")) {
        errno = EIO;
        return -1;
    }
    return real(fd, length);
}

// As a directory the program's user may not write answers, or a system out
// of file slots or memory. "swap_link" and "swap_hardlink" put a link to
// "key-store" at the target just before it is opened: a symbolic one, or
// another name of that file.
extern "C" int open(const char *path, int flags, ...)
{
    static auto real = next<int (*)(const char *, int, ...)>("open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    count_call();
    if ((fault("side_open") || fault("side_enfile")) && strstr(path, "/.")) {
        errno = fault("side_open") ? EACCES : ENFILE;
        return -1;
    }
    if ((flags & O_DIRECTORY) && fault("dir_enomem")) {
        errno = ENOMEM;
        return -1;
    }
    if (strstr(path, "/8021x-priv") && (fault("swap_link") || fault("swap_hardlink"))) {
        char store[4096];
        snprintf(store, sizeof store, "%skey-store", getenv("UPLOAD_FAULT_TARGET"));
        unlink(path);
        fault("swap_link") ? symlink("key-store", path) : link(store, path);
    }
    return real(path, flags, mode);
}

// Records the mode of the target at the first byte written into it.
static void record_mode(int fd)
{
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    static bool recorded;
    if (!recorded && fd > 2 && fault("record_mode") && names(fd, getenv("UPLOAD_FAULT_TARGET"))) {
        recorded = true;
        struct stat st;
        fstat(fd, &st);
        char mode[16];
        int n = snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
        int out = open(getenv("UPLOAD_FAULT_RECORD"), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        real(out, mode, static_cast<size_t>(n));
        close(out);
    }
}

extern "C" ssize_t write(int fd, const void *buf, size_t count)
{
    static auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    count_call();
    record_mode(fd);
    return real(fd, buf, count);
}

// The copy to the target reads the spool inside the kernel. sendfile_einval:
// as a file system that cannot take a file from the kernel answers.
extern "C" ssize_t sendfile(int out, int in, off_t *offset, size_t count)
{
    static auto real = next<ssize_t (*)(int, int, off_t *, size_t)>("sendfile");
    count_call();
    if ((in > 2 && fault("spool_read") && names(in, "/tmp/nubo-upload.")) || fault("sendfile_einval")) {
        errno = fault("sendfile_einval") ? EINVAL : EIO;
        return -1;
    }
    record_mode(out);
    return real(out, in, offset, count);
}

extern "C" int clock_gettime(clockid_t clock, struct timespec *now)
{
    static auto real = next<int (*)(clockid_t, struct timespec *)>("clock_gettime");
    if (!fault("clock") || clock != CLOCK_REALTIME)
        return real(clock, now);
    // As a sandbox refuses the call; what it leaves in the time is no time.
    if (strcmp(getenv("UPLOAD_FAULT_TIME"), "fail") == 0) {
        memset(now, 0x5a, sizeof *now);
        errno = EPERM;
        return -1;
    }
    now->tv_sec = static_cast<time_t>(strtoll(getenv("UPLOAD_FAULT_TIME"), nullptr, 10));
    now->tv_nsec = 0;
    return 0;
}
