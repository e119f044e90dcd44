// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "upload.h"

int main(int, char **argv)
{
    keep_standard_fds();
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
