// SPDX-License-Identifier: MIT
// C library calls of the device program made as plain system calls, in
// place of musl's, which the static link then leaves out. musl's carry what
// these programs never use: close-on-exec set once more for kernels that
// ignore the flag, a stack canary around every inlined system call, a
// second layer (sigprocmask through pthread_sigmask). Each keeps the
// contract the programs rely on; built only by the ARM device toolchain
// with the programs' own start (musl_start.cpp), and its calls are those of
// Linux 2.6.16 and later (docs/kernels.md).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

extern "C" {

// musl's also sets close-on-exec by fcntl after every such open, for
// kernels before 2.6.23 that ignore the flag; these programs start nothing.
int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return static_cast<int>(syscall(SYS_open, path, flags | O_LARGEFILE, mode));
}

// Kernels before 2.6.27 refuse SOCK_CLOEXEC; there the socket goes without
// it, as nothing is started that could inherit it.
int socket(int domain, int type, int protocol)
{
    long fd = syscall(SYS_socket, domain, type, protocol);
    if (fd < 0 && (type & SOCK_CLOEXEC) && (errno == EINVAL || errno == EPROTONOSUPPORT))
        fd = syscall(SYS_socket, domain, type & ~SOCK_CLOEXEC, protocol);
    return static_cast<int>(fd);
}

off_t lseek(int fd, off_t offset, int whence)
{
    off_t result;
    return syscall(SYS__llseek, fd, static_cast<long>(offset >> 32), static_cast<long>(offset), &result, whence)
               ? -1
               : result;
}

// The 64-bit time call came with Linux 5.1; before it, the 32-bit one.
int clock_gettime(clockid_t clock, timespec *now)
{
    if (syscall(SYS_clock_gettime64, clock, now) == 0)
        return 0;
    long old[2];
    if (errno != ENOSYS || syscall(SYS_clock_gettime32, clock, old) != 0)
        return -1;
    now->tv_sec = old[0];
    now->tv_nsec = old[1];
    return 0;
}

// musl's name, from the clock and a stack address, and its 100 attempts;
// its version reaches the clock by another name and so brought both
// timers in. A refused clock leaves the address and the attempt's number,
// so that a name taken is not tried again.
int mkstemp(char *name)
{
    size_t length = strlen(name);
    if (length < 6 || memcmp(name + length - 6, "XXXXXX", 6) != 0) {
        errno = EINVAL;
        return -1;
    }
    char *x = name + length - 6;
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec now;
        if (clock_gettime(CLOCK_REALTIME, &now) != 0)
            now.tv_nsec = attempt;
        uintptr_t r = static_cast<uintptr_t>(now.tv_nsec) * 65537 ^
                      (reinterpret_cast<uintptr_t>(&now) / 16 + reinterpret_cast<uintptr_t>(name));
        for (int i = 0; i < 6; ++i, r >>= 5)
            x[i] = static_cast<char>('A' + (r & 15) + (r & 16) * 2);
        int fd = open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    memcpy(x, "XXXXXX", 6);
    return -1;
}

// musl's refuses the signals its threads use (32 to 34) as well.
int sigaddset(sigset_t *set, int signal)
{
    unsigned bit = static_cast<unsigned>(signal) - 1;
    if (bit >= _NSIG - 1 || static_cast<unsigned>(signal) - 32 < 3) {
        errno = EINVAL;
        return -1;
    }
    set->__bits[bit / (8 * sizeof *set->__bits)] |= 1UL << (bit % (8 * sizeof *set->__bits));
    return 0;
}

int sigprocmask(int how, const sigset_t *set, sigset_t *old)
{
    return static_cast<int>(syscall(SYS_rt_sigprocmask, how, set, old, _NSIG / 8));
}
}
