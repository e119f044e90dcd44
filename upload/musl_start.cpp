// SPDX-License-Identifier: MIT
// The device program's start, in place of musl's __libc_start_main, which
// crt1.o calls. musl's sets up thread-local storage and the thread pointer
// for every program, some 1.2 KB of a static one; a program of one thread
// needs the thread pointer only where musl keeps errno, so errno is a plain
// static here instead. Built only by the ARM device toolchain, whose stack
// protector reads a global guard rather than thread-local storage. A C
// library function that needs the thread pointer (threads, locales, stdio's
// locks) would crash at its first use, which the device tests under
// qemu-arm would show.
#include <elf.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int errno_value;

extern "C" {

int *__errno_location()
{
    return &errno_value;
}
// The name musl's own functions reach errno by; defining it here keeps
// musl's version, which reads the thread pointer, out of the program.
[[gnu::alias("__errno_location")]] int *___errno_location();

// The canary of the musl functions built with the stack protector.
extern uintptr_t __stack_chk_guard;

[[gnu::weak]] extern void (*const __init_array_start)();
[[gnu::weak]] extern void (*const __init_array_end)();

[[noreturn]] void __libc_start_main(int (*main)(int, char **, char **), int argc, char **argv, void (*init)(),
                                    void (*)(), void (*)())
{
    char **envp = argv + argc + 1;
    environ = envp;
    // The auxiliary vector follows the environment; the kernel's random
    // bytes are the canary, as musl takes them.
    char **end = envp;
    while (*end)
        ++end;
    for (const uintptr_t *aux = reinterpret_cast<const uintptr_t *>(end + 1); aux[0] != AT_NULL; aux += 2)
        if (aux[0] == AT_RANDOM)
            memcpy(&__stack_chk_guard, reinterpret_cast<const void *>(aux[1]), sizeof __stack_chk_guard);
    init();
    for (void (*const *f)() = &__init_array_start; f < &__init_array_end; ++f)
        (*f)();
    // Nothing registers at-exit work and stdio is not linked: musl's exit
    // would have nothing more to do.
    _Exit(main(argc, argv, envp));
}
}
