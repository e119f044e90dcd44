// SPDX-License-Identifier: MIT
// Runs a program as an older kernel or a stricter sandbox would: the chosen
// system calls fail at once with the chosen errno. A seccomp filter stays
// with the process across exec, and is inherited by whatever it starts.
//
//   refuse-syscalls statx=ENOSYS[,sendfile=EPERM...] PROGRAM [ARGS...]
//
// Only C headers, so that the device toolchain builds it too; the kernel's
// filter ABI is spelled out here, since musl's headers leave it out.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

struct sock_filter { uint16_t code; uint8_t jt, jf; uint32_t k; };
struct sock_fprog { unsigned short len; const sock_filter *filter; };
enum : uint16_t { LOAD_WORD = 0x20, JUMP_IF_EQUAL = 0x15, RETURN = 0x06 };
enum : uint32_t { ALLOW = 0x7fff0000, FAIL_WITH = 0x00050000, KILL = 0 };

// The kernel's AUDIT_ARCH_* of each CPU it is built for.
#if defined(__x86_64__)
constexpr uint32_t ARCH = 0xc000003e;
#elif defined(__i386__)
constexpr uint32_t ARCH = 0x40000003;
#elif defined(__arm__)
constexpr uint32_t ARCH = 0x40000028;
#elif defined(__aarch64__)
constexpr uint32_t ARCH = 0xc00000b7;
#elif defined(__mips__) && _MIPS_SIM == _ABIO32 && defined(__MIPSEL__)
constexpr uint32_t ARCH = 0x40000008;
#elif defined(__mips__) && _MIPS_SIM == _ABIO32
constexpr uint32_t ARCH = 0x00000008;
#elif defined(__powerpc__) && !defined(__powerpc64__)
constexpr uint32_t ARCH = 0x00000014;
#else
#error "refuse-syscalls is built for x86, x86-64, ARM, aarch64, MIPS o32 and 32-bit PowerPC only"
#endif

static const struct { const char *name; long number; } CALLS[] = {
    {"statx", SYS_statx},
#ifdef SYS_sendfile64
    {"sendfile", SYS_sendfile64},   // the one the C library calls
#else
    {"sendfile", SYS_sendfile},
#endif
};
static const struct { const char *name; uint32_t value; } ERRNOS[] = {{"ENOSYS", ENOSYS}, {"EPERM", EPERM}};

int main(int argc, char **argv)
{
    // Architecture check, system call number, and per rule a comparison and
    // a return; then allow.
    sock_filter program[4 + 2 * 8] = {
        {LOAD_WORD, 0, 0, 4}, {JUMP_IF_EQUAL, 1, 0, ARCH}, {RETURN, 0, 0, KILL}, {LOAD_WORD, 0, 0, 0}};
    unsigned length = 4;
    for (char *rule = argc > 2 ? strtok(argv[1], ",") : nullptr; rule; rule = strtok(nullptr, ",")) {
        char *value = strchr(rule, '=');
        long number = -1;
        uint32_t error = 0;
        for (const auto &c : CALLS)
            if (value && strncmp(rule, c.name, static_cast<size_t>(value - rule)) == 0 && c.name[value - rule] == '\0')
                number = c.number;
        for (const auto &e : ERRNOS)
            if (value && strcmp(value + 1, e.name) == 0)
                error = e.value;
        if (number < 0 || error == 0 || length + 3 > sizeof program / sizeof *program) {
            fprintf(stderr, "refuse-syscalls: cannot refuse '%s'\n", rule);
            return 125;
        }
        program[length++] = {JUMP_IF_EQUAL, 0, 1, static_cast<uint32_t>(number)};
        program[length++] = {RETURN, 0, 0, FAIL_WITH | error};
    }
    if (length == 4) {
        fprintf(stderr, "usage: refuse-syscalls CALL=ERRNO[,...] PROGRAM [ARGS...]\n");
        return 125;
    }
    program[length++] = {RETURN, 0, 0, ALLOW};
    sock_fprog filter = {static_cast<unsigned short>(length), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, 2, &filter, 0, 0) != 0) {
        perror("refuse-syscalls: seccomp");
        return 125;
    }
    execv(argv[2], argv + 2);
    perror("refuse-syscalls: exec");
    return 127;
}
