// SPDX-License-Identifier: MIT
// Failures of the file system, made real: full, read-only and filling file
// systems mounted in the test's private namespace, and a directory the
// program's user cannot write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

static const std::string B = "AaB03x";
static const std::string &OLD = OLD_TARGET;

class Faults : public with_old_target {
};

static upload_outcome upload(const std::string &content)
{
    return run_upload_checked(request(B, file_body(B, content)));
}

TEST_F(Faults, FullTmpAnswersIoErrorAndKeepsTheTarget)
{
    mount_tmp("size=16k,mode=1777");
    fill_up("/tmp");
    for (size_t size : {size_t(10), size_t(200000)}) {
        EXPECT_EQ(upload(std::string(size, 'k')).out, response_for(-7004)) << size;
        EXPECT_EQ(read_file(target_path()), OLD);
    }
    // a body that breaks off inside the file part still learns of the failure
    const std::string body = file_body(B, "key");
    const std::string cut = body.substr(0, body.find("key") + 2);
    EXPECT_EQ(run_upload_checked(request(B, cut)).out, response_for(-7004));
    unmount("/tmp");
}

TEST_F(Faults, ReadOnlyTmpAnswersIoError)
{
    mount_tmp("mode=1777", true);
    EXPECT_EQ(upload("key").out, response_for(-7004));
    EXPECT_EQ(read_file(target_path()), OLD);
    unmount("/tmp");
}

TEST_F(Faults, ReadOnlyTargetDirectoryAnswersIoErrorAndCreatesNothing)
{
    bind_read_only(target_dir());
    EXPECT_EQ(upload("key").out, response_for(-7004));
    EXPECT_EQ(read_file(target_path()), OLD);
    unmount(target_dir());

    unlink(target_path().c_str());
    bind_read_only(target_dir());
    EXPECT_EQ(upload("key").out, response_for(-7004));
    EXPECT_FALSE(read_file(target_path()));
    unmount(target_dir());
}

TEST_F(Faults, TargetFileSystemFillingDuringTheCopyKeepsThePreviousTarget)
{
    mount_tmpfs(target_dir(), "size=64k");
    write_file(target_path(), OLD);
    EXPECT_EQ(upload(std::string(300000, 'c')).out, response_for(-7004));
    EXPECT_EQ(read_file(target_path()), OLD) << "the previous key was lost";
    EXPECT_EQ(file_mode(target_path()), 0644u);

    // A hard-linked target is written in place: a partly written file must
    // not pass for the key, so it is emptied, and every name of it stays.
    const std::string other = target_path("8021x-priv.other-name");
    link(target_path().c_str(), other.c_str());
    EXPECT_EQ(upload(std::string(300000, 'c')).out, response_for(-7004));
    EXPECT_TRUE(read_file(target_path()) == "") << "a partly written target stayed";
    EXPECT_TRUE(read_file(other) == "") << "another name keeps a part of the new key";
    unlink(other.c_str());
    unmount(target_dir());

    // A link into lasting storage, a file system too small for the upload:
    // the link and the file it leads to stay, and the next upload that fits
    // goes through the link again.
    unlink(target_path().c_str());
    mkdir(target_path("certs").c_str(), 0755);
    mount_tmpfs(target_path("certs"), "size=12k");
    write_file(target_path("certs/priv"), OLD);
    symlink("certs/priv", target_path().c_str());
    EXPECT_EQ(upload(std::string(48000, 'c')).out, response_for(-7004));
    EXPECT_EQ(read_file(target_path("certs/priv")), OLD) << "the previous key was lost";
    EXPECT_EQ(upload("new key").out, response_for(0));
    struct stat st;
    EXPECT_TRUE(lstat(target_path().c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "the link was replaced";
    EXPECT_EQ(read_file(target_path("certs/priv")), "new key");
    unmount(target_path("certs"));
}

TEST_F(Faults, ADirectoryTheUserCannotWriteStillLetsAnExistingTargetBeReplaced)
{
    if (!nobody_can_reach(target_dir()))
        GTEST_SKIP() << "the target directory is out of reach for an unprivileged user here";
    chown(target_path().c_str(), 65534, 65534);
    const unsigned dir_mode = file_mode(target_dir());
    chmod(target_dir().c_str(), 0555);
    struct stat before, after;
    stat(target_path().c_str(), &before);
    upload_run run = request(B, file_body(B, "new key"));
    run.run_as_nobody = true;
    EXPECT_EQ(run_upload(run).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "new key");
    EXPECT_EQ(file_mode(target_path()), 0600u);
    EXPECT_TRUE(stat(target_path().c_str(), &after) == 0 && after.st_ino == before.st_ino) << "not replaced in place";

    // A target of root's that the user may write through its group cannot
    // be made private: no key is written into it.
    chown(target_path().c_str(), 0, 65534);
    chmod(target_path().c_str(), 0664);
    run = request(B, file_body(B, "another key"));
    run.run_as_nobody = true;
    EXPECT_EQ(run_upload(run).out, response_for(-7004));
    EXPECT_EQ(read_file(target_path()), "new key");
    EXPECT_EQ(file_mode(target_path()), 0664u);

    // A leftover beside the target, which the user can no longer remove,
    // neither stops the replacement nor takes the new key.
    chown(target_path().c_str(), 65534, 65534);
    chmod(target_dir().c_str(), dir_mode);
    write_file(side_path(), "partial", 0600);
    chown(side_path().c_str(), 65534, 65534);
    chmod(target_dir().c_str(), 0555);
    EXPECT_EQ(run_upload(run).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "another key");
    EXPECT_EQ(read_file(side_path()), "partial");

    chmod(target_dir().c_str(), dir_mode);
    unlink(side_path().c_str());
    unlink(target_path().c_str());
    chmod(target_dir().c_str(), 0555);
    upload_outcome o = run_upload(run);
    EXPECT_EQ(o.out, response_for(-7004));
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_FALSE(read_file(target_path())) << "a target was created in a directory the user cannot write";
    chmod(target_dir().c_str(), dir_mode);
}

// Faults no real file system here can be made to show: a preloaded library
// fails the call. Only a dynamically linked host build can take it.
// "side_open" refuses the file beside the target, as a directory the user
// cannot write does, which keeps the commit in place. kill_at: the shim's
// call at which the program is sent the signal, 0 for none.
static upload_outcome upload_with_fault(const std::string &fault, const std::string &content, bool checked = true,
                                        int kill_at = 0, int signal = SIGKILL)
{
    upload_run run = request(B, file_body(B, content));
    run.extra_env_raw = {std::string("LD_PRELOAD=") + UPLOAD_FAULT_SHIM, "UPLOAD_FAULT=" + fault,
                         "UPLOAD_FAULT_TARGET=" + target_dir() + "/", "UPLOAD_FAULT_RECORD=/tmp/recorded-mode",
                         "UPLOAD_FAULT_KILL_AT=" + std::to_string(kill_at) + ":" + std::to_string(signal), "ASAN_OPTIONS=verify_asan_link_order=0"};
    return checked ? run_upload_checked(run) : run_upload(run);
}

TEST_F(Faults, AFailingStepOfTheCommitIsAFailure)
{
    if (under_emulator())
        GTEST_SKIP() << "needs a dynamically linked build";
    // The target plain, a link to "key-store" beside it, a link to none
    // yet, plain with a file left beside it by an earlier upload, or plain
    // with a "key-store" of mode 0644 that the shim links in its place.
    enum { PLAIN, LINKED, DANGLING, LEFT_BESIDE, SWAPPED };
    const struct {
        const char *fault;
        int code;
        std::optional<std::string> target;   // the key-store's for a link
        int layout = PLAIN;
    } cases[] = {
        // beside the target, then renamed over it: the old key stays
        {"spool_read", -7004, OLD},
        // a file system that cannot take the copy in the kernel gets it
        // through read and write
        {"sendfile_einval", 0, "key"},
        {"sendfile_einval,spool_read", -7004, OLD},
        {"target_fsync", -7004, OLD},
        {"rename", -7004, OLD},
        // the new key is in place, but not known to survive a power cut
        {"dir_fsync", -7004, "key"},
        {"dir_fsync_einval", 0, "key"},
        // in place: the spool that cannot be read back must not pass for an
        // empty file, and a partly written target is emptied
        {"spool_read,side_open", -7004, ""},
        {"sendfile_einval,side_open", 0, "key"},
        {"target_fsync,side_open", -7004, ""},
        {"ftruncate,side_open", -7004, OLD},
        // through a link, beside the file it leads to: that file is the old
        // key or the new one, the link stays; in place, it is emptied
        {"rename", -7004, OLD, LINKED},
        {"spool_read,side_open", -7004, "", LINKED},
        // made through a dangling link: durable by its name only with its
        // directory
        {"dir_fsync", -7004, "key", DANGLING},
        // the link points elsewhere once the key is renamed into place
        {"relink", -7004, "key", LINKED},
        // an open that fails for want of file slots says nothing about the
        // file beside the target, which may be another upload's
        {"side_enfile", -7004, OLD, LEFT_BESIDE},
        // nor does a directory that cannot be opened for want of memory,
        // which must not send the key to the copy in place
        {"dir_enomem,spool_read", -7004, OLD},
        // a link or another file put at the target after it was judged:
        // the file it leads to keeps its key and its mode
        {"swap_link,side_open", -7004, OLD, SWAPPED},
        {"swap_hardlink,side_open", -7004, OLD, SWAPPED},
    };
    for (const auto &c : cases) {
        SetUp();
        const bool linked = c.layout == LINKED || c.layout == DANGLING;
        const std::string store = target_path(linked || c.layout == SWAPPED ? "key-store" : "8021x-priv");
        if (linked) {
            unlink(target_path().c_str());
            symlink("key-store", target_path().c_str());
        }
        if (c.layout == LINKED || c.layout == SWAPPED)
            write_file(store, OLD);
        if (c.layout == LEFT_BESIDE)
            write_file(side_path(), "partial", 0600);
        EXPECT_EQ(upload_with_fault(c.fault, "key", c.layout != LEFT_BESIDE).out, response_for(c.code)) << c.fault;
        EXPECT_EQ(read_file(store), c.target) << c.fault;
        struct stat st;
        EXPECT_TRUE(!linked || (lstat(target_path().c_str(), &st) == 0 && S_ISLNK(st.st_mode))) << c.fault;
        EXPECT_TRUE(c.layout != LEFT_BESIDE || read_file(side_path()) == "partial") << "removed beside, " << c.fault;
        EXPECT_TRUE(c.layout != SWAPPED || file_mode(store) == 0644u) << c.fault;
        unlink(side_path().c_str());
    }
}

TEST_F(Faults, AFailedUploadNeverLeavesATargetThatWasNotThere)
{
    if (under_emulator())
        GTEST_SKIP() << "needs a dynamically linked build";
    for (const char *fault : {"ftruncate", "ftruncate,side_open", "target_fsync", "target_fsync,side_open"}) {
        SetUp();
        unlink(target_path().c_str());
        EXPECT_EQ(upload_with_fault(fault, "key").out, response_for(-7004)) << fault;
        EXPECT_FALSE(read_file(target_path())) << fault;
        // nor where a dangling link leads, which stays as it was
        SetUp();
        unlink(target_path().c_str());
        symlink("key-store", target_path().c_str());
        EXPECT_EQ(upload_with_fault(fault, "key").out, response_for(-7004)) << fault;
        EXPECT_FALSE(read_file(target_path("key-store"))) << "made through a dangling link, " << fault;
        struct stat st;
        EXPECT_TRUE(lstat(target_path().c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << fault;
    }
}

TEST_F(Faults, TheKeyIsNeverReadableByOthersDuringTheCopy)
{
    if (under_emulator())
        GTEST_SKIP() << "needs a dynamically linked build";
    for (const char *fault : {"record_mode", "record_mode,side_open", "record_mode,sendfile_einval"}) {
        SetUp();
        unlink("/tmp/recorded-mode");
        EXPECT_EQ(upload_with_fault(fault, "private key").out, response_for(0)) << fault;
        EXPECT_EQ(read_file("/tmp/recorded-mode"), "600") << "mode of the file at its first write, " << fault;
        EXPECT_EQ(read_file(target_path()), "private key") << fault;
    }
}

// Signals at each call the shim sees in turn. After SIGKILL the target is
// the old key or the new one, whole and private, and the next upload goes
// through; SIGTERM ends the program before the commit, and waits during it.
TEST_F(Faults, AKillAtAnyPointLeavesTheOldKeyOrTheNewOne)
{
    if (under_emulator())
        GTEST_SKIP() << "needs a dynamically linked build";
    const std::string key(100000, 'n');
    mount_tmp("mode=1777");   // a kill may leave the spool's name, removed below
    int points = 1000, beside = 0;
    for (int signal : {SIGKILL, SIGTERM})
        for (int point = 1; point < points; ++point) {
            SetUp();
            write_file(target_path(), OLD, 0600);
            upload_outcome o = upload_with_fault("", key, false, point, signal);
            std::optional<std::string> now = read_file(target_path());
            const bool hidden = read_file(side_path()).has_value();
            EXPECT_TRUE(now == OLD || now == key) << signal << " at " << point;
            EXPECT_EQ(file_mode(target_path()), 0600u) << signal << " at " << point;
            EXPECT_TRUE(signal == SIGKILL || (o.exit_status == 0 ? now == key : now == OLD && !hidden)) << point;
            if (o.exit_status == 0 && signal == SIGKILL)
                points = point;
            beside += hidden;
            for (const std::string &name : spool_names())
                unlink(("/tmp/" + name).c_str());
            EXPECT_EQ(upload("next key").out, response_for(0)) << signal << " at " << point;
        }
    unmount("/tmp");
    EXPECT_GT(beside, 3) << "no kill fell into the commit";
}
