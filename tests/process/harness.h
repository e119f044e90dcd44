// SPDX-License-Identifier: MIT
// Runs an upload program as the web server would: a clean environment, the
// body through a pipe in chosen pieces (each piece reaches the program in a
// read of its own), the response read back.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct upload_run {
    std::string program = "upload-priv";
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> pieces;
    bool hold_stdin_open = false;   // like a host that never closes the pipe
    bool run_as_nobody = false;
    std::vector<std::string> extra_env_raw;   // e.g. LD_PRELOAD=...
    void (*in_child)() = nullptr;   // runs just before exec, e.g. to close a standard descriptor
};

struct upload_outcome {
    std::string out;
    std::string err;
    int exit_status = -1;   // -1: killed or timed out
    bool timed_out = false;
    size_t unread = 0;      // body bytes left in the pipe when the program ended
    bool spool_name_seen = false;   // a /tmp/nubo-upload.* name, while running or after
};

upload_outcome run_upload(const upload_run &run);

// Tests start with an empty target directory holding only a target of
// OLD_TARGET, mode 0644, that a refused or failed upload must leave alone.
extern const std::string OLD_TARGET;
class with_old_target : public ::testing::Test {
protected:
    void SetUp() override;
};
void expect_target_untouched();

// run_upload, with what every run must show whatever the answer: exit status
// 0, nothing on standard error, no hang, no spool file left with a name and
// no file left beside the target.
upload_outcome run_upload_checked(const upload_run &run);

// Whether an unprivileged user can get into the directory at all.
bool nobody_can_reach(const std::string &dir);

// A typical request for the body: CONTENT_TYPE with the boundary and the
// exact CONTENT_LENGTH.
upload_run request(const std::string &boundary, const std::string &body, const std::string &program = "upload-priv");

std::string form_part(const std::string &boundary, const std::string &name, const std::string &content,
                      const std::string &extra_headers = "");
std::string file_body(const std::string &boundary, const std::string &content);

std::string response_for(int code);   // 403 for -7005, as the programs answer

std::string target_dir();
std::string target_path(const std::string &file = "8021x-priv");
// The hidden file an upload writes before renaming it over the target.
std::string side_path(const std::string &file = "8021x-priv");
std::vector<std::string> hidden_target_names();
// UPLOAD_EMULATOR runs a foreign program (qemu-arm); UPLOAD_WRAPPER is a
// command before the program that ends by executing it here, so that a
// preloaded library still reaches it (refuse-syscalls).
bool under_emulator();

// Whether a sweep (a loop over every cut or position, all of them the same
// scanner and request code) takes this position. UPLOAD_SWEEP=STRIDE/OFFSET,
// set by CMake on the rows whose point is the compiler, the CPU or the older
// stat calls, takes only the positions equal to OFFSET modulo STRIDE, each row
// of a kind another offset, so that the rows of the kind together take every
// position; absent, as in process_tests, its sanitizer and memcheck rows,
// every position. Tables of distinct cases do not ask.
bool sweep_takes(size_t position);

std::optional<std::string> read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, unsigned mode = 0644);
unsigned file_mode(const std::string &path);
void clear_target_dir();
std::vector<std::string> spool_names();

// Mounts used by the fault tests; the test binary runs in a private mount
// namespace, so nothing of this reaches the machine.
void mount_tmpfs(const std::string &where, const std::string &options, bool read_only = false);
// A fresh tmpfs on /tmp that still shows the build (which may itself live
// under /tmp): the folders the tests need are bound into it.
void mount_tmp(const std::string &options, bool read_only = false);
void bind_read_only(const std::string &where);
// A fresh tmpfs on /dev that shows everything of the machine's but its
// system log, so that no test writes into it; a test binds its own there.
void mount_dev_without_log();
void unmount(const std::string &where);
void fill_up(const std::string &dir);
