// SPDX-License-Identifier: MIT
#include "harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

static const int TIMEOUT_MS = 60000;

static long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static const char *env_or(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

std::string target_dir()
{
    return env_or("UPLOAD_TARGET_DIR", "");
}

std::string target_path(const std::string &file)
{
    return target_dir() + "/" + file;
}

bool under_emulator()
{
    return *env_or("UPLOAD_EMULATOR", "") != '\0';
}

bool sweep_takes(size_t position)
{
    static const std::pair<size_t, size_t> sweep = [] {
        const char *v = env_or("UPLOAD_SWEEP", "1/0");
        size_t stride = 0, offset = 0;
        int used = 0;
        if (sscanf(v, "%zu/%zu%n", &stride, &offset, &used) != 2 || v[used] || stride == 0 || offset >= stride) {
            fprintf(stderr, "UPLOAD_SWEEP=%s is not STRIDE/OFFSET with OFFSET below STRIDE\n", v);
            abort();
        }
        return std::pair{stride, offset};
    }();
    return position % sweep.first == sweep.second;
}

std::string side_path(const std::string &file)
{
    return target_dir() + "/." + file + ".new";
}

std::vector<std::string> hidden_target_names()
{
    std::vector<std::string> names;
    if (DIR *d = opendir(target_dir().c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] == '.' && strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

std::vector<std::string> spool_names()
{
    std::vector<std::string> names;
    if (DIR *d = opendir("/tmp")) {
        while (dirent *e = readdir(d))
            if (strncmp(e->d_name, "nubo-upload.", 12) == 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

static std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

static int pending(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// Waits for a program that has no event to wait on: short naps at first, for
// the programs that answer at once, longer ones for those that take an
// emulator's time, so that the watching never takes the CPU they need.
static void nap(useconds_t &us)
{
    usleep(us);
    us = std::min<useconds_t>(us * 2, 2000);
}

upload_outcome run_upload(const upload_run &run)
{
    upload_outcome o;
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        abort();
    fcntl(in[1], F_SETPIPE_SZ, 1 << 20);

    std::vector<std::string> argv_s;
    std::istringstream emulator(env_or("UPLOAD_EMULATOR", ""));
    for (std::string word; emulator >> word;)
        argv_s.push_back(word);
    std::istringstream wrapper(env_or("UPLOAD_WRAPPER", ""));
    for (std::string word; wrapper >> word;)
        argv_s.push_back(word);
    argv_s.push_back(std::string(env_or("UPLOAD_BIN_DIR", ".")) + "/" + run.program);
    std::vector<std::string> env_s;
    for (auto &[k, v] : run.env)
        env_s.push_back(k + "=" + v);
    for (auto &raw : run.extra_env_raw)
        env_s.push_back(raw);
    env_s.push_back(std::string("PATH=") + env_or("PATH", "/usr/bin:/bin"));
    // A suite may ask the sanitizer build's leak check off (tests/CMakeLists.txt).
    if (const char *lsan = getenv("LSAN_OPTIONS"))
        env_s.push_back(std::string("LSAN_OPTIONS=") + lsan);
    std::vector<char *> argv, envp;
    for (auto &s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto &s : env_s)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    // The first piece is in the pipe before the program starts, so that a
    // program that refuses at once still leaves it there to be counted.
    size_t first = 0;
    if (!run.pieces.empty() && run.pieces[0].size() <= 65536) {
        if (write(in[1], run.pieces[0].data(), run.pieces[0].size()) != static_cast<ssize_t>(run.pieces[0].size()))
            abort();
        first = 1;
    }

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close_range(3, ~0U, 0);
        if (run.run_as_nobody && (setgid(65534) || setuid(65534)))
            _exit(126);
        if (run.in_child)
            run.in_child();
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    int status = 0;
    bool exited = false;
    const long deadline = now_ms() + TIMEOUT_MS;
    auto poll_exit = [&]() {
        if (!exited && waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
        return exited;
    };
    auto look_at_tmp = [&]() {
        if (!spool_names().empty())
            o.spool_name_seen = true;
    };
    // Between mkstemp and unlink the name exists by design, so /tmp is only
    // looked at while the program waits for the next read.
    auto waiting_for_input = [&]() {
        const long until = std::min(deadline, now_ms() + 2000);
        for (useconds_t us = 50; now_ms() < until && !poll_exit(); nap(us)) {
            std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
            size_t paren = stat.rfind(')');
            if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S')
                return true;
        }
        return false;
    };
    // A loaded machine (valgrind, say) may let the program on between the
    // look at its state and the look at /tmp, and may show it sleeping for
    // other reasons: a name counts only when it is still there once the
    // program has taken another piece, since no read comes between the
    // spool's creation and the removal of its name.
    std::vector<std::string> suspects;
    auto look_while_waiting = [&]() {
        if (!waiting_for_input())
            return;
        std::vector<std::string> names = spool_names();
        for (const std::string &name : names)
            if (std::find(suspects.begin(), suspects.end(), name) != suspects.end())
                o.spool_name_seen = true;
        suspects = std::move(names);
    };
    // A piece goes in only when the program has taken the one before, so
    // that every read it makes ends where a piece ends.
    for (size_t p = 0; p < run.pieces.size(); ++p) {
        const std::string &piece = run.pieces[p];
        size_t off = p < first ? piece.size() : 0;
        while (off < piece.size() && !poll_exit()) {
            ssize_t n = write(in[1], piece.data() + off, piece.size() - off);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
        for (useconds_t us = 50; pending(in[1]) > 0 && !poll_exit() && now_ms() < deadline;)
            nap(us);
        look_while_waiting();
        if (exited || now_ms() >= deadline)
            break;
    }
    if (!run.hold_stdin_open)
        close(in[1]);
    // An answer larger than the pipe holds (the status program's) is taken
    // as it comes, lest the program wait for us and we for it; its end wakes
    // us through a pidfd (naps where the kernel has none).
    pollfd events[2] = {{out[0], POLLIN, 0}, {static_cast<int>(syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0}};
    for (long left; !poll_exit() && (left = deadline - now_ms()) > 0;) {
        poll(events, 2, events[1].fd >= 0 ? static_cast<int>(left) : 1);
        if (events[0].revents & POLLHUP)
            events[0].fd = -1;   // the program closed its output: only its end is left
        for (int n; (n = pending(out[0])) > 0;) {
            char buf[4096];
            o.out.append(buf, static_cast<size_t>(read(out[0], buf, sizeof buf < static_cast<size_t>(n) ? sizeof buf : n)));
        }
    }
    if (events[1].fd >= 0)
        close(events[1].fd);
    if (!exited) {
        o.timed_out = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (run.hold_stdin_open) {
        o.unread = static_cast<size_t>(pending(in[1]));
        close(in[1]);
    }
    look_at_tmp();
    o.out += drain(out[0]);
    o.err = drain(err[0]);
    close(out[0]);
    close(err[0]);
    o.exit_status = !o.timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

const std::string OLD_TARGET = "old target\n";

void with_old_target::SetUp()
{
    clear_target_dir();
    write_file(target_path(), OLD_TARGET, 0644);
}

void expect_target_untouched()
{
    EXPECT_EQ(read_file(target_path()), OLD_TARGET);
    EXPECT_EQ(file_mode(target_path()), 0644u);
}

upload_outcome run_upload_checked(const upload_run &run)
{
    upload_outcome o = run_upload(run);
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_FALSE(o.spool_name_seen) << "a spool file kept its name";
    EXPECT_EQ(hidden_target_names(), std::vector<std::string>{}) << "a file stayed beside the target";
    return o;
}

bool nobody_can_reach(const std::string &dir)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && access(dir.c_str(), X_OK) == 0 ? 0 : 1);
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

upload_run request(const std::string &boundary, const std::string &body, const std::string &program)
{
    upload_run r;
    r.program = program;
    r.env = {{"CONTENT_TYPE", "multipart/form-data; boundary=" + boundary},
             {"CONTENT_LENGTH", std::to_string(body.size())}};
    r.pieces = {body};
    return r;
}

std::string form_part(const std::string &boundary, const std::string &name, const std::string &content,
                      const std::string &extra_headers)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"" +
           (name == "filedata" ? "; filename=\"upload.pem\"" : "") + "\r\n" + extra_headers + "\r\n" + content +
           "\r\n";
}

std::string file_body(const std::string &boundary, const std::string &content)
{
    return form_part(boundary, "sessionid", "0123456789abcdef") +
           form_part(boundary, "filedata", content, "Content-Type: application/x-x509-ca-cert\r\n") + "--" +
           boundary + "--\r\n";
}

std::string response_for(int code)
{
    return std::string(code == -7005 ? "Status: 403 Forbidden" : "Status: 200 OK") + "\r\nContent-Type: application/json\r\n\r\n{ \"errcode\": " + std::to_string(code) +
           " }\r\n\r\n";
}

std::optional<std::string> read_file(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    std::string s = drain(fd);
    close(fd);
    return s;
}

void write_file(const std::string &path, const std::string &content, unsigned mode)
{
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        abort();
    fchmod(fd, mode);
    close(fd);
}

unsigned file_mode(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Only the names the programs and these tests write: whatever else the
// directory holds is not ours, even when it is the one a program was built
// for by mistake.
static const char *const MANAGED_NAMES[] = {
    "8021x-client-cert", "8021x-client-cert2", "8021x-ca-cert", "8021x-ca-cert2", "8021x-priv", "8021x-priv2",
    "key-store", "8021x-priv.other-name", "chain", "null-device",
    "certs/priv", "certs/.priv.new", "certs/key", "certs/.key.new", "certs",
};

void clear_target_dir()
{
    std::string dir = target_dir();
    // Its mode is set only where this process made it: a directory it found
    // keeps the mode its owner gave it.
    static bool made = false;
    if (mkdir(dir.c_str(), 0755) == 0)
        made = true;
    if (made)
        chmod(dir.c_str(), 0755);
    for (const char *name : MANAGED_NAMES) {
        for (const std::string &path : {target_path(name), side_path(name)})
            if (unlink(path.c_str()) != 0 && errno == EISDIR)
                rmdir(path.c_str());
    }
    for (const std::string &name : spool_names())
        unlink(("/tmp/" + name).c_str());
}

void mount_tmpfs(const std::string &where, const std::string &options, bool read_only)
{
    if (mount("tmpfs", where.c_str(), "tmpfs", read_only ? MS_RDONLY : 0, options.c_str()) != 0)
        abort();
}

static void keep_under_tmp(std::vector<std::string> &tops, const std::string &path)
{
    if (path.compare(0, 5, "/tmp/") != 0)
        return;
    std::string top = path.substr(5, path.find('/', 5) - 5);
    if (!top.empty())
        tops.push_back(top);
}

void mount_tmp(const std::string &options, bool read_only)
{
    std::vector<std::string> tops;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    keep_under_tmp(tops, std::string(exe, n > 0 ? static_cast<size_t>(n) : 0));
    keep_under_tmp(tops, env_or("UPLOAD_BIN_DIR", ""));
    keep_under_tmp(tops, target_dir());
#ifdef UPLOAD_FAULT_SHIM
    keep_under_tmp(tops, UPLOAD_FAULT_SHIM);
#endif
    int old_tmp = open("/tmp", O_PATH | O_DIRECTORY);
    if (old_tmp < 0 || mount("tmpfs", "/tmp", "tmpfs", 0, options.c_str()) != 0)
        abort();
    for (const std::string &top : tops) {
        std::string from = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + top;
        std::string to = "/tmp/" + top;
        mkdir(to.c_str(), 0755);
        if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            abort();
    }
    close(old_tmp);
    if (read_only && mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, options.c_str()) != 0)
        abort();
}

void mount_dev_without_log()
{
    int old_dev = open("/dev", O_PATH | O_DIRECTORY);
    DIR *d = opendir("/dev");
    if (old_dev < 0 || !d || mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        abort();
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "log")
            continue;
        std::string from = "/proc/self/fd/" + std::to_string(old_dev) + "/" + name;
        std::string to = "/dev/" + name;
        struct stat st;
        if (lstat(from.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char link[4096];
            ssize_t n = readlink(from.c_str(), link, sizeof link - 1);
            if (n > 0 && symlink(std::string(link, static_cast<size_t>(n)).c_str(), to.c_str()) != 0)
                abort();
            continue;
        }
        if (S_ISDIR(st.st_mode) ? mkdir(to.c_str(), 0755) != 0 : mknod(to.c_str(), S_IFREG | 0600, 0) != 0)
            abort();
        if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            abort();
    }
    closedir(d);
    close(old_dev);
}

void bind_read_only(const std::string &where)
{
    if (mount(where.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, where.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        abort();
}

void unmount(const std::string &where)
{
    umount2(where.c_str(), MNT_DETACH);
}

void fill_up(const std::string &dir)
{
    std::string path = dir + "/filler";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    static const char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    // the last partial block too
    while (write(fd, block, 1) > 0) {
    }
    close(fd);
}
