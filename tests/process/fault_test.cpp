// Failures of the file system, made real: full, read-only and filling file
// systems mounted in the test's private namespace, and a directory the
// program's user cannot write.
#include <gtest/gtest.h>

#include <fcntl.h>
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

TEST_F(Faults, TargetFileSystemFillingDuringTheCopyRemovesTheTarget)
{
    mount_tmpfs(target_dir(), "size=64k");
    write_file(target_path(), OLD);
    EXPECT_EQ(upload(std::string(300000, 'c')).out, response_for(-7004));
    EXPECT_FALSE(read_file(target_path())) << "a partly written target stayed";
    unmount(target_dir());
}

TEST_F(Faults, ADirectoryTheUserCannotWriteStillLetsAnExistingTargetBeReplaced)
{
    if (!nobody_can_reach(target_dir()))
        GTEST_SKIP() << "the target directory is out of reach for an unprivileged user here";
    chown(target_path().c_str(), 65534, 65534);
    chmod(target_dir().c_str(), 0555);
    upload_run run = request(B, file_body(B, "new key"));
    run.run_as_nobody = true;
    EXPECT_EQ(run_upload(run).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "new key");
    EXPECT_EQ(file_mode(target_path()), 0600u);

    chmod(target_dir().c_str(), 0755);
    unlink(target_path().c_str());
    chmod(target_dir().c_str(), 0555);
    upload_outcome o = run_upload(run);
    EXPECT_EQ(o.out, response_for(-7004));
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_FALSE(read_file(target_path())) << "a target was created in a directory the user cannot write";
    chmod(target_dir().c_str(), 0755);
}

// Faults no real file system here can be made to show: a preloaded library
// fails the call. Only a dynamically linked host build can take it.
static upload_outcome upload_with_fault(const char *fault, const std::string &content)
{
    upload_run run = request(B, file_body(B, content));
    run.extra_env_raw = {std::string("LD_PRELOAD=") + UPLOAD_FAULT_SHIM, std::string("UPLOAD_FAULT=") + fault,
                         "UPLOAD_FAULT_TARGET=" + target_path(), "UPLOAD_FAULT_RECORD=/tmp/recorded-mode",
                         "ASAN_OPTIONS=verify_asan_link_order=0"};
    return run_upload_checked(run);
}

TEST_F(Faults, SpoolThatCannotBeReadBackIsAFailureNotAnEmptyFile)
{
    if (under_emulator())
        GTEST_SKIP() << "needs a dynamically linked build";
    EXPECT_EQ(upload_with_fault("spool_read", "key").out, response_for(-7004));
    EXPECT_FALSE(read_file(target_path())) << "the truncated target stayed";
}

TEST_F(Faults, SuccessWaitsForTheTargetToReachStorage)
{
    if (under_emulator())
        GTEST_SKIP() << "needs a dynamically linked build";
    EXPECT_EQ(upload_with_fault("target_fsync", "key").out, response_for(-7004));
    EXPECT_FALSE(read_file(target_path()));
}

TEST_F(Faults, TheKeyIsNeverReadableByOthersDuringTheCopy)
{
    if (under_emulator())
        GTEST_SKIP() << "needs a dynamically linked build";
    unlink("/tmp/recorded-mode");
    EXPECT_EQ(upload_with_fault("record_mode", "private key").out, response_for(0));
    EXPECT_EQ(read_file("/tmp/recorded-mode"), "600") << "mode of the target at its first write";
    EXPECT_EQ(read_file(target_path()), "private key");
}
