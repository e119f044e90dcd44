// SPDX-License-Identifier: MIT
// Real faults around the programs: file systems that fill while the spool
// grows, targets that cannot be written or are links, the leftover of an
// upload cut short, uploads racing for one target, a host that keeps
// standard input open or closes it at once, a client that went away
// (standard output a broken pipe), and programs started with a standard
// descriptor closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

const std::string B = "AaB03x";
const std::string &OLD = OLD_TARGET;

class RealFaults : public with_old_target {
};

upload_outcome upload(const upload_run &run)
{
    return run_upload_checked(run);
}

// What a host or a departed client may leave the program with.
void close_stdin() { close(0); }
void close_stdout() { close(1); }
void close_stderr() { close(2); }
void close_all_three()
{
    close(0);
    close(1);
    close(2);
}
void broken_stdout()
{
    // The suite ignores SIGPIPE for itself; a host need not, and the program
    // must survive the signal's default action on its own.
    signal(SIGPIPE, SIG_DFL);
    int p[2];
    if (pipe(p) != 0)
        _exit(125);
    close(p[0]);
    dup2(p[1], 1);
    close(p[1]);
}

}   // namespace

TEST_F(RealFaults, SpoolFileSystemFillingDuringTheUploadAnswersIoError)
{
    // /tmp has room for a part of the file only: the spool fills mid-part,
    // in a short write or a failed one, depending on where the room ends.
    for (const char *size : {"64k", "68k", "200k"}) {
        SetUp();
        mount_tmp(std::string("size=") + size + ",mode=1777");
        upload_outcome o = upload(request(B, file_body(B, std::string(300000, 's'))));
        EXPECT_EQ(o.out, response_for(-7004)) << size;
        expect_target_untouched();
        unmount("/tmp");
    }
}

TEST_F(RealFaults, TargetThatCannotBeOpenedAnswersIoError)
{
    // a read-only target file on a writable file system
    bind_read_only(target_path());
    EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(-7004));
    unmount(target_path());
    expect_target_untouched();

    // a directory where the target should be
    unlink(target_path().c_str());
    mkdir(target_path().c_str(), 0755);
    EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(-7004));
    struct stat st;
    EXPECT_TRUE(stat(target_path().c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    rmdir(target_path().c_str());

    // a link to a device node like /dev/null: refused before its mode is
    // touched, the link kept
    const std::string node = target_path("null-device");
    if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 && chmod(node.c_str(), 0666) == 0) {
        symlink("null-device", target_path().c_str());
        EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(-7004));
        EXPECT_EQ(file_mode(node), 0666u);
        EXPECT_TRUE(lstat(target_path().c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    }
    // (The target directory itself is never removed: a test running beside
    // this one in another mount namespace may have a file system on it.)
}

TEST_F(RealFaults, ReadOnlyTargetOwnedByTheProgramsUserAnswersIoError)
{
    if (!nobody_can_reach(target_dir()))
        GTEST_SKIP() << "the target directory is out of reach for an unprivileged user here";
    chown(target_path().c_str(), 65534, 65534);
    chmod(target_path().c_str(), 0444);
    upload_run run = request(B, file_body(B, "new key"));
    run.run_as_nobody = true;
    EXPECT_EQ(upload(run).out, response_for(-7004));
    EXPECT_EQ(read_file(target_path()), OLD);
    EXPECT_EQ(file_mode(target_path()), 0444u);
}

TEST_F(RealFaults, LinkedTargetsKeepTheirLinks)
{
    // a symbolic link: the file it points to is replaced by rename, the link
    // stays
    const std::string store = target_path("key-store");
    write_file(store, OLD);
    unlink(target_path().c_str());
    symlink("key-store", target_path().c_str());
    struct stat st, before;
    stat(store.c_str(), &before);
    EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(0));
    EXPECT_TRUE(lstat(target_path().c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "the link was replaced";
    EXPECT_EQ(read_file(store), "new key");
    EXPECT_EQ(file_mode(store), 0600u);
    EXPECT_TRUE(stat(store.c_str(), &st) == 0 && st.st_ino != before.st_ino) << "written in place";

    // a chain of links into another directory, and one that leads nowhere
    // yet: the file is made or replaced where the chain ends, every link
    // stays, nothing is left beside
    for (bool dangling : {false, true}) {
        SetUp();
        mkdir(target_path("certs").c_str(), 0755);
        if (!dangling)
            write_file(target_path("certs/key"), OLD);
        unlink(target_path().c_str());
        symlink("chain", target_path().c_str());
        symlink((target_dir() + "/certs/key").c_str(), target_path("chain").c_str());
        EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(0)) << dangling;
        EXPECT_TRUE(lstat(target_path().c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << dangling;
        EXPECT_TRUE(lstat(target_path("chain").c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << dangling;
        EXPECT_EQ(read_file(target_path("certs/key")), "new key") << dangling;
        EXPECT_EQ(file_mode(target_path("certs/key")), 0600u) << dangling;
        EXPECT_FALSE(read_file(target_path("certs/.key.new"))) << dangling;
    }

    // a hard link: every name sees the new content
    SetUp();
    const std::string other = target_path("8021x-priv.other-name");
    link(target_path().c_str(), other.c_str());
    EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "new key");
    EXPECT_EQ(read_file(other), "new key");
}

TEST_F(RealFaults, ALinkIsFollowedOnlyWhereTheKernelWouldFollowIt)
{
    // In a sticky directory that anyone may write, another user's link is
    // not followed, whatever fs.protected_symlinks says; the directory
    // owner's is, and so is any link where the directory is not sticky.
    for (auto [options, owner] : {std::pair{"mode=1777", 65534}, {"mode=1777", 0}, {"mode=0777", 65534}}) {
        mount_tmpfs(target_dir(), options);
        write_file(target_path("key-store"), OLD);
        symlink("key-store", target_path().c_str());
        lchown(target_path().c_str(), owner, owner);
        const bool refused = owner != 0 && options[5] == '1';
        EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(refused ? -7004 : 0)) << options;
        EXPECT_EQ(read_file(target_path("key-store")), refused ? OLD : "new key") << options << owner;
        unmount(target_dir());
    }
}

TEST_F(RealFaults, TheLeftoverOfAnUploadCutShortIsReusedByTheNext)
{
    // what a power cut during the copy leaves beside the target
    write_file(side_path(), std::string(100000, 'p'), 0644);
    EXPECT_EQ(upload(request(B, file_body(B, "new key"))).out, response_for(0));
    EXPECT_EQ(read_file(target_path()), "new key");
    EXPECT_EQ(file_mode(target_path()), 0600u);
    EXPECT_FALSE(read_file(side_path()));

    // and so is it by one that fails while it writes, which removes it
    mount_tmpfs(target_dir(), "size=64k");
    write_file(target_path(), OLD);
    write_file(side_path(), "partial", 0644);
    EXPECT_EQ(upload(request(B, file_body(B, std::string(300000, 'n')))).out, response_for(-7004));
    EXPECT_EQ(read_file(target_path()), OLD);
    unmount(target_dir());
}

TEST_F(RealFaults, WhateverLiesBesideTheTargetIsNeverWrittenThrough)
{
    // Put there by someone who may write the directory: each is removed and
    // a fresh file of the program's own takes the upload.
    const std::string ca = target_path("8021x-ca-cert");
    const unsigned dir_mode = file_mode(target_dir());
    const struct {
        const char *name;
        void (*plant)(const std::string &side, const std::string &ca);
        bool as_nobody;
    } cases[] = {
        {"another slot's key, hard-linked", [](const std::string &side, const std::string &ca) { link(ca.c_str(), side.c_str()); }, false},
        {"a link to another slot's key", [](const std::string &side, const std::string &) { symlink("8021x-ca-cert", side.c_str()); }, false},
        {"a FIFO", [](const std::string &side, const std::string &) { mkfifo(side.c_str(), 0666); }, false},
        {"root's file, mode 0666", [](const std::string &side, const std::string &) { write_file(side, "", 0666); }, true},
    };
    for (const auto &c : cases) {
        SetUp();
        write_file(ca, "the CA certificate", 0644);
        c.plant(side_path(), ca);
        upload_run run = request(B, file_body(B, "new key"));
        if (c.as_nobody) {
            if (!nobody_can_reach(target_dir()))
                continue;
            chown(target_path().c_str(), 65534, 65534);
            chmod(target_dir().c_str(), 0777);
            run.run_as_nobody = true;
        }
        EXPECT_EQ(upload(run).out, response_for(0)) << c.name;
        chmod(target_dir().c_str(), dir_mode);
        struct stat st;
        EXPECT_TRUE(lstat(target_path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) << c.name;
        EXPECT_EQ(read_file(target_path()), "new key") << c.name;
        EXPECT_EQ(file_mode(target_path()), 0600u) << c.name;
        EXPECT_EQ(read_file(ca), "the CA certificate") << c.name;
        EXPECT_EQ(file_mode(ca), 0644u) << c.name;
    }

    // A link put in place of the side file while an upload waits for its
    // lock, the file itself moved to the target's name: the target must
    // become the new key, not a link to itself.
    SetUp();
    write_file(side_path(), "", 0600);
    int held = open(side_path().c_str(), O_RDONLY);
    struct stat side;
    ASSERT_TRUE(held >= 0 && fstat(held, &side) == 0 && flock(held, LOCK_EX) == 0);
    upload_outcome o;
    std::thread uploading([&] { o = run_upload(request(B, file_body(B, "new key"))); });
    // /proc/locks marks a waiter "->"; the file is known by its inode.
    const std::string inode = ":" + std::to_string(side.st_ino) + " ";
    auto upload_waits = [&] {
        std::string locks = read_file("/proc/locks").value_or("");
        for (size_t at = 0, end; at < locks.size(); at = end + 1) {
            end = std::min(locks.find('\n', at), locks.size());
            std::string line = locks.substr(at, end - at);
            if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos)
                return true;
        }
        return false;
    };
    for (int tries = 0; tries < 2000 && !upload_waits(); ++tries)
        usleep(5000);
    EXPECT_TRUE(upload_waits()) << "the upload never waited for the lock";
    rename(side_path().c_str(), target_path().c_str());
    symlink("8021x-priv", side_path().c_str());
    close(held);
    uploading.join();
    EXPECT_EQ(o.out, response_for(0));
    struct stat st;
    EXPECT_TRUE(lstat(target_path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) << "the target is not a file";
    EXPECT_EQ(read_file(target_path()), "new key");
    EXPECT_EQ(hidden_target_names(), std::vector<std::string>{});
}

TEST_F(RealFaults, UploadsRacingForOneTargetNeverMix)
{
    // Each body reaches its program in pieces, so that the copies overlap;
    // whichever complete upload comes last wins, whole.
    std::vector<std::string> contents;
    std::vector<upload_run> runs;
    for (char c : {'a', 'b', 'c', 'd'}) {
        contents.push_back(std::string(200000, c));
        std::string body = file_body(B, contents.back());
        upload_run run = request(B, body);
        run.pieces.clear();
        for (size_t at = 0; at < body.size(); at += 16384)
            run.pieces.push_back(body.substr(at, 16384));
        runs.push_back(run);
    }
    for (int round = 0; round < 3; ++round) {
        std::vector<upload_outcome> outcomes(runs.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < runs.size(); ++i)
            threads.emplace_back([&, i] { outcomes[i] = run_upload(runs[i]); });
        for (std::thread &t : threads)
            t.join();
        for (const upload_outcome &o : outcomes)
            EXPECT_EQ(o.out, response_for(0));
        std::optional<std::string> now = read_file(target_path());
        EXPECT_TRUE(now && std::find(contents.begin(), contents.end(), *now) != contents.end())
            << "the target is no one upload";
        EXPECT_EQ(hidden_target_names(), std::vector<std::string>{});
    }
}

TEST_F(RealFaults, HostKeepingStandardInputOpenNeverMakesTheProgramWait)
{
    struct {
        const char *name;
        std::string body;
        std::string answer;
    } cases[] = {
        {"empty file", file_body(B, ""), response_for(-7003)},
        {"session only", form_part(B, "sessionid", "abc") + "--" + B + "--\r\n", ""},
        {"file part never ends", form_part(B, "filedata", "abc"), ""},
        {"grammar broken early", "--" + B + " \r\n" + std::string(10000, 'j'), ""},
        {"no body at all", "", ""},
    };
    for (const auto &c : cases) {
        SetUp();
        upload_run run = request(B, c.body);
        run.hold_stdin_open = true;
        upload_outcome o = upload(run);
        EXPECT_EQ(o.out, c.answer) << c.name;
        EXPECT_EQ(o.unread, 0u) << c.name;
        expect_target_untouched();
    }
    // an I/O failure, also with the pipe held open
    SetUp();
    mount_tmp("mode=1777", true);
    upload_run run = request(B, file_body(B, "key"));
    run.hold_stdin_open = true;
    EXPECT_EQ(upload(run).out, response_for(-7004));
    unmount("/tmp");
    expect_target_untouched();
}

TEST_F(RealFaults, StandardInputClosedAtOnce)
{
    // the host announces a body but closes the pipe before sending a byte
    upload_run run = request(B, file_body(B, "never sent"));
    run.pieces.clear();
    EXPECT_EQ(upload(run).out, "");
    expect_target_untouched();

    // or starts the program with no standard input at all
    run = request(B, file_body(B, "never sent"));
    run.in_child = close_stdin;
    EXPECT_EQ(upload(run).out, "");
    expect_target_untouched();
    run.env[1].second = "99999999";
    EXPECT_EQ(upload(run).out, response_for(-7001));
}

TEST_F(RealFaults, ClientGoneMidRequestTheUploadStillCompletes)
{
    // standard output is a pipe nobody reads: writing the answer fails with
    // EPIPE, which must neither kill the program nor undo the upload
    upload_run run = request(B, file_body(B, "written anyway"));
    run.in_child = broken_stdout;
    EXPECT_EQ(upload(run).out, "");
    EXPECT_EQ(read_file(target_path()), "written anyway");
    EXPECT_EQ(file_mode(target_path()), 0600u);

    // and the same for a refusal and for a failure
    SetUp();
    run = request(B, file_body(B, "refused"));
    run.in_child = broken_stdout;
    run.env[1].second = "99999999";
    EXPECT_EQ(upload(run).out, "");
    expect_target_untouched();
    bind_read_only(target_path());
    run.env[1].second = std::to_string(run.pieces[0].size());
    EXPECT_EQ(upload(run).out, "");
    unmount(target_path());
    expect_target_untouched();
}

TEST_F(RealFaults, StartedWithAStandardDescriptorClosed)
{
    // A file the program opens must never take the place of 0, 1 or 2: the
    // spool would be read as the body or the answer written into it.
    const std::string content = "key of " + std::string(70000, 'k');
    upload_run run = request(B, file_body(B, content));

    run.in_child = close_stdout;
    EXPECT_EQ(upload(run).out, "");
    EXPECT_TRUE(read_file(target_path()) == content) << "the target is not the upload";

    SetUp();
    run.in_child = close_stderr;
    EXPECT_EQ(upload(run).out, response_for(0));
    EXPECT_TRUE(read_file(target_path()) == content) << "the target is not the upload";
    EXPECT_EQ(file_mode(target_path()), 0600u);

    for (void (*closing)() : {close_stdin, close_all_three}) {
        SetUp();
        run.in_child = closing;
        EXPECT_EQ(upload(run).out, "");
        expect_target_untouched();
    }
}

// The status program with a slot as a device may hold it: each row's slot
// object as the answer gives it, at once, and every file left as it was.
namespace {

struct status_row {
    const char *what;
    void (*make)(const std::string &slot);
    const char *expect;   // in the slot's object
    bool nobody = false;
};

const std::string MIB64(64u << 20, 'c');

const status_row STATUS_ROWS[] = {
    {"missing", [](const std::string &) {}, "\"present\":false}"},
    {"unreadable", [](const std::string &s) { write_file(s, "certificate", 0600); }, "\"error\":\"unreadable\"}", true},
    {"link to a file", [](const std::string &s) {
         write_file(target_path("real.pem"), "AB");
         symlink("real.pem", s.c_str());
     }, "\"present\":true,\"size\":2,"},
    {"dangling link", [](const std::string &s) { symlink("nowhere", s.c_str()); }, "\"present\":false}"},
    {"FIFO", [](const std::string &s) { mkfifo(s.c_str(), 0600); }, "\"present\":true,\"error\":\"not a file\"}"},
    {"device node", [](const std::string &s) { mknod(s.c_str(), S_IFCHR | 0600, makedev(1, 5)); },
     "\"present\":true,\"error\":\"not a file\"}"},
    {"directory", [](const std::string &s) { mkdir(s.c_str(), 0700); }, "\"present\":true,\"error\":\"not a file\"}"},
    {"64 MiB bundle", [](const std::string &s) { write_file(s, MIB64); }, "\"size\":67108864,"},
};

// name, size, mode and modification time of every file in the target folder
std::string listing()
{
    std::string all;
    for (const std::string name : {"8021x-ca-cert", "real.pem"}) {
        struct stat st;
        if (lstat(target_path(name).c_str(), &st) == 0)
            all += name + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mode) + " " +
                   std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
    }
    return all;
}

}   // namespace

TEST_F(RealFaults, StatusTellsEachSlotAsItIsAndChangesNothing)
{
    for (const status_row &row : STATUS_ROWS) {
        SetUp();
        const std::string slot = target_path("8021x-ca-cert");
        unlink(target_path("real.pem").c_str());
        rmdir(slot.c_str());
        unlink(slot.c_str());
        row.make(slot);
        if (row.nobody && !nobody_can_reach(target_dir()))
            continue;
        const std::string before = listing();
        upload_run run;
        run.program = "upload-status";
        run.env = {{"REQUEST_METHOD", "GET"}};
        run.run_as_nobody = row.nobody;
        const std::string out = upload(run).out;
        const size_t at = out.find("{\"file\":\"8021x-ca-cert\"");
        ASSERT_NE(at, std::string::npos) << row.what << ": " << out.substr(0, 300);
        const std::string object = out.substr(at, out.find('}', at) + 1 - at);
        EXPECT_NE(object.find(row.expect), std::string::npos) << row.what << ": " << object.substr(0, 300);
        // The bundle's first 64 KiB, no more, in hex.
        if (const size_t head = object.find("\"head\":\""); row.make == STATUS_ROWS[7].make) {
            EXPECT_EQ(object.find('"', head + 8) - (head + 8), 2u << 16);
        }
        EXPECT_EQ(out.substr(out.size() - 2), "}\n") << row.what;
        EXPECT_EQ(listing(), before) << row.what;
        unlink(slot.c_str());
        rmdir(slot.c_str());
    }
    unlink(target_path("real.pem").c_str());
}

TEST_F(RealFaults, StatusAnswersAGetOnly)
{
    upload_run run;
    run.program = "upload-status";
    run.env = {{"REQUEST_METHOD", "POST"}};
    EXPECT_EQ(upload(run).out, "Status: 405 Method Not Allowed\r\nAllow: GET\r\n" + response_for(-7008).substr(16));
    run.env = {{"REQUEST_METHOD", "GET"}, {"HTTP_SEC_FETCH_SITE", "cross-site"}};
    EXPECT_EQ(upload(run).out, response_for(-7005));
    expect_target_untouched();
}
