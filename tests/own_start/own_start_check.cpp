// SPDX-License-Identifier: MIT
// The device programs' own start and the calls that stand in for musl's
// (upload/musl_start.cpp, upload/musl_calls.cpp), each against the contract
// the C library gives: run under qemu-arm by the host build's device tests.
// Prints one line per broken promise and exits 1 if there was any.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

extern "C" uintptr_t __stack_chk_guard;

static int failures;

static void check(bool ok, const char *what)
{
    if (ok)
        return;
    ++failures;
    ssize_t ignored = write(2, what, strlen(what));
    ignored = write(2, "\n", 1);
    (void)ignored;
}

// Fails with exactly this errno.
static bool refused(long result, int expected)
{
    return result == -1 && errno == expected;
}

// Of the run, so that the compiler cannot fold it into the data.
static pid_t constructed_in;
[[gnu::constructor]] static void construct()
{
    constructed_in = getpid();
}

static mode_t mode_of(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_mode & 07777 : 0;
}

static void check_files()
{
    check(refused(open("/nonexistent/own-start", O_RDONLY), ENOENT), "open: no ENOENT for a missing file");
    check(refused(close(-1), EBADF), "errno: a C library call's EBADF not seen");

    char short_name[] = "XXXXX", wrong[] = "/tmp/own-start.XXXXXY";
    check(refused(mkstemp(short_name), EINVAL) && !strcmp(short_name, "XXXXX"), "mkstemp: took a short template");
    check(refused(mkstemp(wrong), EINVAL) && !strcmp(wrong, "/tmp/own-start.XXXXXY"), "mkstemp: took a template without XXXXXX at its end");
    char first[] = "/tmp/own-start.XXXXXX", second[] = "/tmp/own-start.XXXXXX";
    umask(022);
    int a = mkstemp(first), b = mkstemp(second);
    check(a >= 0 && b >= 0 && strcmp(first, second) != 0, "mkstemp: no two distinct files");
    bool letters = strncmp(first, "/tmp/own-start.", 15) == 0 && strlen(first) == 21;
    for (const char *x = first + 15; *x; ++x)
        letters = letters && ((*x >= 'A' && *x <= 'Z') || (*x >= 'a' && *x <= 'z')) && *x != 'X';
    check(letters, "mkstemp: the name is not the template with six letters for its Xs");
    check(mode_of(a) == 0600, "mkstemp: file not 0600");
    check(refused(open(first, O_WRONLY | O_CREAT | O_EXCL, 0600), EEXIST), "open: O_EXCL made a file that exists");

    // The mode argument reaches the kernel, and umask applies to it.
    unlink(second);
    int c = open(second, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
    check(c >= 0 && mode_of(c) == 0644, "open: O_CREAT mode not 0664 less the umask");
    check(c >= 0 && (fcntl(c, F_GETFD) & FD_CLOEXEC), "open: no close-on-exec");

    // Offsets past 4 GiB: both halves of the 64-bit offset reach the kernel.
    const off_t far = (off_t{5} << 30) + 7;
    check(lseek(a, far, SEEK_SET) == far && lseek(a, 0, SEEK_CUR) == far, "lseek: a 64-bit offset lost");
    check(lseek(a, -far, SEEK_END) == -1 && errno == EINVAL, "lseek: a negative offset taken");
    check(lseek(a, 3, SEEK_SET) == 3, "lseek: back to a small offset");

    close(a);
    close(b);
    close(c);
    unlink(first);
    unlink(second);
}

static void check_clock_and_signals()
{
    timespec now{}, later{};
    check(clock_gettime(CLOCK_REALTIME, &now) == 0 && now.tv_sec > 1600000000 && now.tv_nsec >= 0 &&
              now.tv_nsec < 1000000000,
          "clock_gettime: not the time of day");
    check(clock_gettime(CLOCK_MONOTONIC, &now) == 0 && clock_gettime(CLOCK_MONOTONIC, &later) == 0 &&
              (later.tv_sec > now.tv_sec || (later.tv_sec == now.tv_sec && later.tv_nsec >= now.tv_nsec)),
          "clock_gettime: the monotonic clock went back");
    check(refused(clock_gettime(12345, &now), EINVAL), "clock_gettime: took an unknown clock");

    sigset_t set, old;
    sigemptyset(&set);
    static const int OUTSIDE[] = {0, 32, 33, 34, 65, -1}, INSIDE[] = {1, 31, 35, 64};
    for (int sig : OUTSIDE)
        check(refused(sigaddset(&set, sig), EINVAL), "sigaddset: took a signal outside the caller's");
    for (int sig : INSIDE)
        check(sigaddset(&set, sig) == 0 && sigismember(&set, sig) == 1, "sigaddset: refused or lost a signal");
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    check(sigismember(&set, SIGPIPE) == 1 && sigismember(&set, SIGPIPE + 1) == 0 && sigismember(&set, SIGPIPE - 1) == 0,
          "sigaddset: not SIGPIPE's bit alone");
    check(sigprocmask(SIG_BLOCK, &set, nullptr) == 0 && sigprocmask(SIG_SETMASK, nullptr, &old) == 0 &&
              sigismember(&old, SIGPIPE) == 1,
          "sigprocmask: SIGPIPE not blocked");
    check(refused(sigprocmask(99, &set, nullptr), EINVAL), "sigprocmask: took an unknown action");

    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    check(s >= 0 && (fcntl(s, F_GETFD) & FD_CLOEXEC), "socket: none, or without close-on-exec");
    close(s);
    check(refused(socket(12345, SOCK_DGRAM, 0), EAFNOSUPPORT), "socket: took an unknown family");
}

int main(int argc, char **argv, char **envp)
{
    check(argc >= 1 && argv[0] && !argv[argc], "start: no argument vector");
    check(envp == environ && envp == argv + argc + 1, "start: the environment not after the arguments");
    const char *value = getenv("OWN_START_CHECK");
    check(value && !strcmp(value, "environment"), "start: getenv does not see the environment");
    check(__stack_chk_guard != 0, "start: no stack guard from the kernel's random bytes");
    check(constructed_in == getpid(), "start: constructors not run");
    check_files();
    check_clock_and_signals();
    return failures ? 1 : 0;
}
