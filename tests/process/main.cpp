// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "harness.h"

// The tests mount file systems of their own (a tmpfs on /tmp, full or
// read-only ones, read-only binds, a /dev with a system log of their own); a
// private mount namespace keeps all of that away from the machine and from
// tests running beside them.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    signal(SIGPIPE, SIG_IGN);
    if (target_dir().empty()) {
        fprintf(stderr, "UPLOAD_TARGET_DIR is not set: ctest sets it to the directory the programs were built for\n");
        return 1;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        perror("private mount namespace");
        fprintf(stderr, "these tests mount file systems of their own: run ctest as root\n");
        return 1;
    }
    mount_tmp("mode=1777");
    mount_dev_without_log();
    // A run beside others that write the same target directory gets an
    // empty one of its own in this namespace.
    if (const char *own = getenv("UPLOAD_PRIVATE_TARGET"); own && strcmp(own, "1") == 0) {
        mkdir(target_dir().c_str(), 0755);
        mount_tmpfs(target_dir(), "mode=0755", false);
    }
    return RUN_ALL_TESTS();
}
