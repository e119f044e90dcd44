// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "upload.h"

int main(int, char **argv)
{
    // A host may start us with 0, 1 or 2 closed; a file we open must never
    // take their place and be read as the body or receive the response.
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2) {
    }
    if (fd > 2)
        close(fd);
    if (!select_profile(argv[0]))
        return 2;
    // A client that went away must not stop the upload half done. Blocked,
    // SIGPIPE fails the write with EPIPE just as ignored would, and blocking
    // keeps musl's sigaction, with its lock, out of the program.
    sigset_t sigpipe;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    sigprocmask(SIG_BLOCK, &sigpipe, nullptr);
    return upload_main();
}
