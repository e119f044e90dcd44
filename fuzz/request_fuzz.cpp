// SPDX-License-Identifier: MIT
// Fuzz target for the whole request path, in-process: environment, body on
// standard input, the response captured from standard output, the target in
// a directory of the fuzzer's own. System calls of the program can be made to
// fail once, at a call chosen by the input.
//
// Input layout (short inputs are padded with zero bytes):
//   byte 0   flags: 1 CONTENT_LENGTH is set, 2 it is the body's true length
//            in decimal instead of the text below, 4 CONTENT_TYPE is set,
//            8 the target exists beforehand, 16 the file beside the target
//            is refused (EACCES), as a directory the program may not write
//            does, which keeps the commit in place, 32 a browser marks the
//            post cross-site
//   byte 1   fault kind (see fault_kind; 0 or unknown values: none)
//   byte 2   which call of that kind fails, counted from 0
//   then     CONTENT_LENGTH text, ended by a NUL byte
//   then     CONTENT_TYPE text, ended by a NUL byte
//   the rest the body
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "scanner_oracle.h"
#include "upload.h"

namespace {

constexpr uint32_t LIMIT = 8 * 1024 * 1024;
char target_path[4096];
char target_dir[1024];
char side_path[4096];   // where the commit writes before its rename

}   // namespace

target_profile upload_profile = {"request_fuzz", target_path, LIMIT};

namespace {

enum fault_kind : uint8_t {
    FAULT_NONE,
    FAULT_WRITE_ERROR,
    FAULT_WRITE_SHORT,
    FAULT_READ_ERROR,
    FAULT_READ_SHORT,
    FAULT_OPEN,
    FAULT_MKSTEMP,
    FAULT_FSYNC,
    FAULT_LSEEK,
    FAULT_FTRUNCATE,
    // The commit reads file status through its own system calls; these two
    // kinds stay so that the corpus keeps its meaning, and never fire.
    FAULT_STAT,
    FAULT_FSTAT,
    FAULT_FLOCK,
    FAULT_RENAME,
    FAULT_SENDFILE_ERROR,
    FAULT_SENDFILE_SHORT,
    FAULT_SENDFILE_REFUSED,   // EINVAL, as a file system without the kernel copy
    FAULT_KINDS
};

// What the program did during one run, as seen through the wrapped calls.
struct observed {
    bool armed = false;
    fault_kind fault = FAULT_NONE;
    unsigned fault_at = 0;
    unsigned calls[FAULT_KINDS] = {};
    bool fired = false;
    int fired_fd = -1;
    bool fired_on_directory = false;
    bool side_refused = false;   // the commit could not write beside the target
    bool fired_beside = false;   // the failed call was an open there
    bool refuse_side = false;
    unsigned responses = 0;
    int sent_code = 0;   // the code of the last response given
    uint64_t stdin_bytes = 0;
    std::vector<std::string> spool_names;
    std::set<int> opened;
    std::string failure;
    std::string failed_calls;   // each call that failed, so that a find explains itself
    unsigned failed_count = 0;

    void fail(const std::string &why)
    {
        if (failure.empty())
            failure = why;
    }
};
observed run;

// Counts a call of the given kind and says whether it is the one to fail.
bool strike(fault_kind kind, int fd = -1)
{
    if (!run.armed)
        return false;
    unsigned n = run.calls[kind]++;
    if (run.fault != kind || n != run.fault_at)
        return false;
    run.fired = true;
    run.fired_fd = fd;
    struct stat st;
    run.fired_on_directory = fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    return true;
}

// Notes a call that failed, injected or not: its name, the path it named or
// where its descriptor leads, and its errno. Keeps errno as it was.
template <typename T> T noted(const char *call, T result, bool injected, int fd, const char *path = nullptr)
{
    if (!run.armed || result >= 0 || ++run.failed_count > 16)
        return result;
    const int error = errno;
    char where[4096] = "", link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = path ? -1 : readlink(link, where, sizeof where - 1);
    where[n > 0 ? n : 0] = '\0';
    char line[4300];
    if (path)
        snprintf(line, sizeof line, "  %s(%s)", call, path);
    else
        snprintf(line, sizeof line, "  %s(fd %d %s)", call, fd, where);
    run.failed_calls += line;
    snprintf(line, sizeof line, " failed, errno %d (%s)%s\n", error, strerror(error), injected ? ", injected" : "");
    run.failed_calls += line;
    errno = error;
    return result;
}

}   // namespace

// The program's system calls go through these (linked with --wrap).
extern "C" {
ssize_t __real_write(int, const void *, size_t);
ssize_t __real_read(int, void *, size_t);
int __real_open(const char *, int, ...);
int __real_mkstemp(char *);
int __real_fsync(int);
off_t __real_lseek(int, off_t, int);
int __real_ftruncate(int, off_t);
int __real_flock(int, int);
int __real_rename(const char *, const char *);
ssize_t __real_sendfile(int, int, off_t *, size_t);
int __real_close(int);
int __real_socket(int, int, int);
int __real__Z11send_resulti(int);

ssize_t __wrap_write(int fd, const void *data, size_t count)
{
    bool shorten = strike(FAULT_WRITE_SHORT, fd);
    bool error = strike(FAULT_WRITE_ERROR, fd);
    if (shorten && count > 0)
        return __real_write(fd, data, count / 2);
    if (shorten)
        run.fired = false;   // nothing to cut short
    if (error) {
        errno = ENOSPC;
        return noted("write", -1, true, fd);
    }
    return noted("write", __real_write(fd, data, count), false, fd);
}

ssize_t __wrap_read(int fd, void *data, size_t count)
{
    bool shorten = strike(FAULT_READ_SHORT, fd);
    bool error = strike(FAULT_READ_ERROR, fd);
    ssize_t got;
    if (shorten && count > 1) {
        got = __real_read(fd, data, count / 2);
    } else if (error) {
        errno = EIO;
        got = -1;
    } else {
        if (shorten)
            run.fired = false;
        got = __real_read(fd, data, count);
    }
    noted("read", got, error, fd);
    if (run.armed && fd == 0 && got > 0)
        run.stdin_bytes += static_cast<uint64_t>(got);
    return got;
}

int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    // The directory and the file beside the target: refused there, the
    // commit happens in place.
    const bool beside = strcmp(path, side_path) == 0 || (strncmp(path, target_dir, strlen(target_dir)) == 0 &&
                                                         strcmp(path + strlen(target_dir), "/") == 0);
    const bool struck = strike(FAULT_OPEN);
    if (struck || (run.armed && run.refuse_side && strcmp(path, side_path) == 0)) {
        run.side_refused = run.side_refused || beside;
        run.fired_beside = struck && beside;
        errno = EACCES;
        return noted("open", -1, true, -1, path);
    }
    int fd = noted("open", __real_open(path, flags, mode), false, -1, path);
    if (run.armed && fd >= 0)
        run.opened.insert(fd);
    return fd;
}

int __wrap_mkstemp(char *name)
{
    if (strike(FAULT_MKSTEMP)) {
        errno = ENOSPC;
        return noted("mkstemp", -1, true, -1, name);
    }
    int fd = noted("mkstemp", __real_mkstemp(name), false, -1, name);
    if (run.armed && fd >= 0) {
        run.opened.insert(fd);
        run.spool_names.push_back(name);
    }
    return fd;
}

int __wrap_fsync(int fd)
{
    if (strike(FAULT_FSYNC, fd)) {
        errno = EIO;
        return noted("fsync", -1, true, fd);
    }
    return noted("fsync", __real_fsync(fd), false, fd);
}

off_t __wrap_lseek(int fd, off_t offset, int whence)
{
    if (strike(FAULT_LSEEK, fd)) {
        errno = EINVAL;
        return noted("lseek", static_cast<off_t>(-1), true, fd);
    }
    return noted("lseek", __real_lseek(fd, offset, whence), false, fd);
}

int __wrap_ftruncate(int fd, off_t length)
{
    if (strike(FAULT_FTRUNCATE, fd)) {
        errno = EIO;
        return noted("ftruncate", -1, true, fd);
    }
    return noted("ftruncate", __real_ftruncate(fd, length), false, fd);
}

int __wrap_flock(int fd, int operation)
{
    if (strike(FAULT_FLOCK, fd)) {
        errno = ENOLCK;
        return noted("flock", -1, true, fd);
    }
    return noted("flock", __real_flock(fd, operation), false, fd);
}

int __wrap_rename(const char *from, const char *to)
{
    if (strike(FAULT_RENAME)) {
        errno = EIO;
        return noted("rename", -1, true, -1, from);
    }
    return noted("rename", __real_rename(from, to), false, -1, from);
}

// Short: half of what is left in the spool, so that the copy must go on.
ssize_t __wrap_sendfile(int out, int in, off_t *offset, size_t count)
{
    bool shorten = strike(FAULT_SENDFILE_SHORT, out);
    bool error = strike(FAULT_SENDFILE_ERROR, out);
    bool refused = strike(FAULT_SENDFILE_REFUSED, out);
    if (error || refused) {
        errno = error ? EIO : EINVAL;
        return noted("sendfile", static_cast<ssize_t>(-1), true, out);
    }
    if (shorten) {
        struct stat st;
        off_t at = __real_lseek(in, 0, SEEK_CUR);
        size_t left = offset == nullptr && at >= 0 && fstat(in, &st) == 0 && st.st_size > at
                          ? static_cast<size_t>(st.st_size - at)
                          : 0;
        if (left > 1)
            count = std::min(count, left / 2);
        else
            run.fired = false;
    }
    return noted("sendfile", __real_sendfile(out, in, offset, count), false, out);
}

int __wrap_socket(int domain, int type, int protocol)
{
    int fd = __real_socket(domain, type, protocol);
    if (run.armed && fd >= 0)
        run.opened.insert(fd);
    return fd;
}

// The log line goes nowhere: hours of fuzzing must not fill the machine's log.
ssize_t __wrap_sendto(int, const void *, size_t count, int, const struct sockaddr *, socklen_t)
{
    return static_cast<ssize_t>(count);
}

// Closing a descriptor the run did not open would hit one that belongs to
// someone else (a stale number closed twice, or -1 handed on as if valid is
// harmless and allowed).
int __wrap_close(int fd)
{
    if (run.armed && fd >= 0) {
        if (!run.opened.count(fd))
            run.fail("closed descriptor " + std::to_string(fd) + ", which the run did not open");
        run.opened.erase(fd);
    }
    return __real_close(fd);
}

int __wrap__Z11send_resulti(int code)
{
    if (run.armed) {
        ++run.responses;
        run.sent_code = code;
    }
    return __real__Z11send_resulti(code);
}
}

namespace {

std::string response_for(int code)
{
    return std::string(code == ERR_CROSS_ORIGIN ? "Status: 403 Forbidden" : "Status: 200 OK") + "\r\nContent-Type: application/json\r\n\r\n{ \"errcode\": " + std::to_string(code) +
           " }\r\n\r\n";
}

const int CODES[] = {0, ERR_TOO_LARGE, ERR_BAD_REQUEST, ERR_EMPTY_FILE, ERR_IO, ERR_CROSS_ORIGIN};

// The C library's unsigned decimal conversion as a 32-bit device has it.
uint32_t device_strtoul(const std::string &text)
{
    const char *p = text.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    if (*p < '0' || *p > '9')
        return 0;
    errno = 0;
    unsigned long long magnitude = strtoull(p, nullptr, 10);
    if (errno == ERANGE || magnitude > UINT32_MAX)
        return UINT32_MAX;
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

bool plain_digits(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool read_file(const char *path, std::string &out, mode_t *mode)
{
    int fd = __real_open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    fstat(fd, &st);
    *mode = st.st_mode & 07777;
    out.clear();
    char buffer[65536];
    ssize_t got;
    while ((got = __real_read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(got));
    __real_close(fd);
    return true;
}

std::set<int> open_descriptors()
{
    std::set<int> out;
    for (int fd = 0; fd < 64; ++fd)
        if (fcntl(fd, F_GETFD) >= 0)
            out.insert(fd);
    return out;
}

// What a form part is, from one header line joined from its pieces: only a
// name that is a prefix of "Content-Disposition" (ignoring case) counts, its
// value must start "form-data" (ignoring case), then any run of ";" and
// space, then name=" (ignoring case) and a field name that is exactly
// "sessionid" or "filedata" up to the next quote. Anything else leaves the
// kind as it was.
int classify(const std::string &name, const std::string &value, int kind)
{
    auto lower = [](std::string t) {
        for (char &c : t)
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
        return t;
    };
    const std::string disposition = "content-disposition";
    if (name.size() > disposition.size() || lower(name) != disposition.substr(0, name.size()))
        return kind;
    if (lower(value.substr(0, 9)) != "form-data")
        return kind;
    size_t at = 9;
    while (at < value.size() && (value[at] == ';' || value[at] == ' '))
        ++at;
    if (lower(value.substr(at, 6)) != "name=\"")
        return kind;
    size_t quote = value.find('"', at + 6);
    if (quote == std::string::npos)
        return kind;
    const std::string field = value.substr(at + 6, quote - at - 6);
    if (field == "sessionid")
        kind = KIND_SESSION;
    if (field == "filedata")
        kind = KIND_FILE;
    return kind;
}

struct expectation {
    int code = 1;   // 1: no response
    std::string target;
};

// The answer a body deserves, from the scanner's events for the bytes the
// program may read: the first part classified as the file ends the request
// when it finishes, with its content or, if that is empty, -7003.
expectation expected_answer(const std::string &delimiter, const std::string &body)
{
    expectation e;
    oracle::run_result scan = oracle::run(delimiter, body, {});
    if (!scan.failure.empty()) {
        run.fail("scanner oracle: " + scan.failure);
        return e;
    }
    int kind = KIND_NONE;
    std::string name, content;
    for (const oracle::event &ev : scan.events) {
        switch (ev.kind) {
        case 'N':
            name = ev.data;
            break;
        case 'V':
            kind = classify(name, ev.data, kind);
            break;
        case 'C':
            content = ev.data;
            break;
        case 'H':
            content.clear();
            break;
        case 'F':
            if (kind == KIND_FILE) {
                e.code = content.empty() ? ERR_EMPTY_FILE : 0;
                e.target = content;
                return e;
            }
            kind = KIND_NONE;
            break;
        }
    }
    return e;
}

const char OLD_TARGET[] = "the old target\n";
int stdin_fd = -1;
int stdout_fd = -1;
int saved_stdout = -1;

void remove_target_dir()
{
    unlink(target_path);
    unlink(side_path);
    rmdir(target_dir);
}

}   // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    snprintf(target_dir, sizeof target_dir, "%s/upload-fuzz.XXXXXX", base);
    if (!mkdtemp(target_dir)) {
        perror("mkdtemp");
        abort();
    }
    snprintf(target_path, sizeof target_path, "%s/target", target_dir);
    snprintf(side_path, sizeof side_path, "%s/.target.new", target_dir);
    atexit(remove_target_dir);
    stdin_fd = memfd_create("fuzz-stdin", MFD_CLOEXEC);
    stdout_fd = memfd_create("fuzz-stdout", MFD_CLOEXEC);
    saved_stdout = fcntl(1, F_DUPFD_CLOEXEC, 10);
    if (stdin_fd < 0 || stdout_fd < 0 || saved_stdout < 0) {
        perror("memfd");
        abort();
    }
    return 0;
}

// libFuzzer's timeout alarm has a handler without SA_RESTART, so a system
// call of the program that the alarm interrupts would fail with EINTR. A
// program started by a web server has no handlers and never sees that; with
// SA_RESTART the call is restarted as there, and the handler still runs and
// still stops a hang. libFuzzer installs it after LLVMFuzzerInitialize.
static void restart_calls_after_alarms()
{
    struct sigaction alarm;
    if (sigaction(SIGALRM, nullptr, &alarm) == 0 && !(alarm.sa_flags & SA_RESTART) &&
        ((alarm.sa_flags & SA_SIGINFO) || (alarm.sa_handler != SIG_DFL && alarm.sa_handler != SIG_IGN))) {
        alarm.sa_flags |= SA_RESTART;
        sigaction(SIGALRM, &alarm, nullptr);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool restarting = (restart_calls_after_alarms(), true);
    (void)restarting;
    fuzz_input in{data, size};
    const uint8_t flags = in.byte();
    const uint8_t fault = in.byte();
    const uint8_t fault_at = in.byte();
    std::string length_text = in.text();
    const std::string type = in.text();
    const std::string body = in.rest();
    const bool has_length = flags & 1;
    if (flags & 2)
        length_text = std::to_string(body.size());
    const bool has_type = flags & 4;
    const bool target_before = flags & 8;
    const bool refuse_side = flags & 16;
    const bool cross_site = flags & 32;

    // Fresh target, environment and standard input and output.
    unlink(target_path);
    if (target_before) {
        int fd = __real_open(target_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        __real_write(fd, OLD_TARGET, sizeof OLD_TARGET - 1);
        fchmod(fd, 0644);
        __real_close(fd);
    }
    if (has_length)
        setenv("CONTENT_LENGTH", length_text.c_str(), 1);
    else
        unsetenv("CONTENT_LENGTH");
    if (has_type)
        setenv("CONTENT_TYPE", type.c_str(), 1);
    else
        unsetenv("CONTENT_TYPE");
    if (cross_site)
        setenv("HTTP_SEC_FETCH_SITE", "cross-site", 1);
    else
        unsetenv("HTTP_SEC_FETCH_SITE");
    __real_ftruncate(stdin_fd, 0);
    if (!body.empty() && pwrite(stdin_fd, body.data(), body.size(), 0) != static_cast<ssize_t>(body.size()))
        abort();
    __real_lseek(stdin_fd, 0, SEEK_SET);
    __real_ftruncate(stdout_fd, 0);
    __real_lseek(stdout_fd, 0, SEEK_SET);
    dup2(stdin_fd, 0);
    dup2(stdout_fd, 1);
    const std::set<int> before = open_descriptors();

    run = observed{};
    run.fault = fault < FAULT_KINDS ? static_cast<fault_kind>(fault) : FAULT_NONE;
    run.fault_at = fault_at;
    run.refuse_side = refuse_side;
    run.armed = true;
    int status = upload_main();
    run.armed = false;

    std::set<int> after = open_descriptors();
    dup2(saved_stdout, 1);
    std::string response(static_cast<size_t>(__real_lseek(stdout_fd, 0, SEEK_END)), '\0');
    if (!response.empty() && pread(stdout_fd, response.data(), response.size(), 0) != static_cast<ssize_t>(response.size()))
        abort();

    // What the request deserves, judged from the environment alone.
    std::string delimiter;
    int refusal = 0;
    if (cross_site)
        refusal = ERR_CROSS_ORIGIN;
    else if (has_length && device_strtoul(length_text) > LIMIT)
        refusal = ERR_TOO_LARGE;
    else if (!has_type || type.compare(0, 20, "multipart/form-data;") != 0 || type.find('=', 20) == std::string::npos)
        refusal = ERR_BAD_REQUEST;
    else
        delimiter = "--" + type.substr(type.find('=', 20) + 1);

    const bool stdout_broken = run.fired && run.fired_fd == 1 && run.fault == FAULT_WRITE_ERROR;
    int code = 1;   // no response
    for (int c : CODES)
        if (response == response_for(c))
            code = c;
    if (!response.empty() && code == 1) {
        bool prefix = false;
        for (int c : CODES)
            prefix = prefix || response_for(c).compare(0, response.size(), response) == 0;
        if (!(stdout_broken && prefix))
            run.fail("response is none of the legal forms");
    }
    if (status != 0)
        run.fail("upload_main returned nonzero");
    if (run.responses > 1)
        run.fail("more than one response");
    if (run.responses == 1 && response.empty() && !stdout_broken)
        run.fail("a response was given but nothing reached standard output");
    if (run.responses == 1 && code != 1 && code != run.sent_code)
        run.fail("the response does not carry the code given");
    // A client that went away loses the answer, not what the program did.
    if (stdout_broken)
        code = run.responses == 1 ? run.sent_code : 1;

    const bool target_io_fault = run.fired && run.fired_fd != 0 && run.fired_fd != 1 && !run.fired_beside &&
                                 (run.fault == FAULT_WRITE_ERROR || run.fault == FAULT_WRITE_SHORT ||
                                  run.fault == FAULT_READ_ERROR || run.fault == FAULT_OPEN ||
                                  run.fault == FAULT_MKSTEMP || run.fault == FAULT_FSYNC ||
                                  run.fault == FAULT_LSEEK || run.fault == FAULT_FTRUNCATE ||
                                  run.fault == FAULT_RENAME || run.fault == FAULT_SENDFILE_ERROR ||
                                  (run.fault == FAULT_SENDFILE_REFUSED && run.fault_at != 0));
    const bool stdin_fault = run.fired && run.fired_fd == 0;
    if (refusal != 0) {
        if (code != refusal && !stdout_broken)
            run.fail("expected the refusal " + std::to_string(refusal));
        if (run.stdin_bytes != 0)
            run.fail("a refused request read its body");
    } else {
        if (code == ERR_TOO_LARGE || code == ERR_BAD_REQUEST)
            run.fail("refused a request that is acceptable");
        uint64_t expected = body.size();
        if (has_length && plain_digits(length_text))
            expected = std::min<uint64_t>(expected, device_strtoul(length_text));
        if (!stdin_fault && run.stdin_bytes != expected)
            run.fail("read " + std::to_string(run.stdin_bytes) + " body bytes, expected " +
                     std::to_string(expected));
        if (stdin_fault && run.stdin_bytes > expected)
            run.fail("read more of the body than CONTENT_LENGTH allows");

        // Faults that change nothing the program can tell: the exact answer.
        const bool neutral = !run.fired || run.fired_beside || run.fault == FAULT_READ_SHORT || run.fault == FAULT_STAT ||
                             run.fault == FAULT_FSTAT || run.fault == FAULT_FLOCK ||
                             (run.fault == FAULT_WRITE_SHORT && run.fired_fd == 1) ||
                             run.fault == FAULT_SENDFILE_SHORT ||
                             // refused before any byte moved: read and write take over
                             (run.fault == FAULT_SENDFILE_REFUSED && run.fault_at == 0);
        if (neutral) {
            expectation e = expected_answer(delimiter, body.substr(0, static_cast<size_t>(expected)));
            if (code != e.code)
                run.fail("answered " + (code == 1 ? std::string("nothing") : std::to_string(code)) + ", expected " +
                         (e.code == 1 ? std::string("nothing") : std::to_string(e.code)));
            else if (code == 0) {
                std::string now;
                mode_t mode = 0;
                if (!read_file(target_path, now, &mode) || now != e.target)
                    run.fail("the target is not the file part's content");
            }
        }
    }
    if (code == 0 && target_io_fault)
        run.fail("success reported although a file operation failed");

    // The target: replaced on success, else intact; after a failed copy in
    // place it may be emptied instead, and after a failed sync of the
    // directory it may be the new file already renamed over it.
    std::string now;
    mode_t mode = 0;
    const bool exists = read_file(target_path, now, &mode);
    const bool renamed_unsynced = run.fired && run.fault == FAULT_FSYNC && run.fired_on_directory;
    if (code == 0) {
        if (!exists || mode != 0600)
            run.fail("success but the target is missing or not mode 0600");
        else if (now.empty() || body.find(now + "\r\n" + delimiter) == std::string::npos)
            run.fail("success but the target is not a file part's content");
    } else {
        bool intact = target_before ? exists && now == OLD_TARGET : !exists;
        bool emptied = exists && now.empty() && run.side_refused;
        bool renamed = renamed_unsynced && exists && !now.empty() &&
                       body.find(now + "\r\n" + delimiter) != std::string::npos;
        if (code == ERR_IO ? !(intact || emptied || renamed) : !intact)
            run.fail("the target was changed without success");
        if (code != ERR_IO && exists && target_before && mode != 0644)
            run.fail("the target's mode changed without success");
    }
    if (access(side_path, F_OK) == 0) {
        run.fail("a file stayed beside the target");
        unlink(side_path);
    }

    for (const std::string &name : run.spool_names)
        if (access(name.c_str(), F_OK) == 0) {
            run.fail("spool file " + name + " still has its name");
            unlink(name.c_str());
        }

    // Descriptors: none left behind, except a spool that no answer closed.
    for (int fd : after) {
        if (before.count(fd))
            continue;
        if (fd == upload_state.temp_fd && response.empty() && run.responses == 0)
            __real_close(fd);
        else {
            run.fail("descriptor " + std::to_string(fd) + " left open");
            __real_close(fd);
        }
    }
    for (int fd : before)
        if (!after.count(fd))
            run.fail("descriptor " + std::to_string(fd) + " was closed by the run");

    upload_state = upload_request_state{};

    static const bool verbose = getenv("REQUEST_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        fprintf(stderr, "response %s, fault %s, %llu body bytes read\n",
                code == 1 ? "none" : std::to_string(code).c_str(), run.fired ? "fired" : "none",
                static_cast<unsigned long long>(run.stdin_bytes));
    if (!run.failure.empty()) {
        fprintf(stderr, "request fuzz: %s\n  fault %d at call %u %s (fd %d)\n  response: %zu bytes\n%s%s",
                run.failure.c_str(), run.fault, run.fault_at, run.fired ? "fired" : "did not fire",
                run.fired_fd, response.size(), run.failed_calls.empty() ? "" : "calls that failed:\n",
                run.failed_calls.c_str());
        abort();
    }
    return 0;
}
