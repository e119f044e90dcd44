// SPDX-License-Identifier: MIT
// The whole program as the web server starts it: a 64 MiB upload piped into
// upload-ca-cert, its spool and target on tmpfs (bench.sh mounts one on
// /tmp), against the floor of moving the same bytes: through `dd bs=4096`
// into a file, then a copy of that file. Rounds alternate between the two
// and the fastest of each counts, as load from elsewhere only adds time.
// Also the peak resident memory of a 1 KiB and a 64 MiB upload.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bodies.h"

namespace {

const char *const PROGRAM = UPLOAD_BENCH_PROGRAM;
const char *const TARGET = UPLOAD_BENCH_PROGRAM_TARGET;
const char *const FLOOR_SPOOL = "/tmp/nubo-bench-floor-spool";
const char *const FLOOR_COPY = "/tmp/nubo-bench-floor-copy";
const char *const RESPONSE = "/tmp/nubo-bench-response";

struct upload {
    std::string body;
    std::size_t content_size;
};

// A body of exactly `total` bytes of which all but the framing is the file:
// random bytes behind the start of a DER certificate (a SEQUENCE and its TBS
// SEQUENCE, both of BER's indefinite length, and an empty [0] version),
// which programs built with the content check take as well.
upload make_upload(std::size_t total)
{
    const std::string boundary = bench_boundary();
    const std::string head = body_head(boundary), tail = body_tail(boundary);
    const std::size_t content = total - head.size() - tail.size();
    std::string file = make_content(content_kind::random_binary, content, boundary);
    const char der[6] = {0x30, static_cast<char>(0x80), 0x30, static_cast<char>(0x80), static_cast<char>(0xa0), 0};
    file.replace(0, 6, der, 6);
    return {head + file + tail, content};
}

// Writes the body into the pipe as a web server would, then closes it.
void feed(int fd, const std::string &body)
{
    for (std::size_t at = 0; at < body.size();) {
        ssize_t written = write(fd, body.data() + at, std::min<std::size_t>(65536, body.size() - at));
        if (written <= 0)
            break;
        at += static_cast<std::size_t>(written);
    }
    close(fd);
}

// Starts argv with the read end of a new pipe as standard input and the
// response file as standard output; returns the pid and the write end.
pid_t start(const std::vector<const char *> &argv, const std::vector<std::string> &env, int *input,
            bool traced)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(RESPONSE, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(pipe_fds[0], 0);
        dup2(out, 1);
        std::vector<char *> envp;
        for (const std::string &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        if (traced)
            ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execve(argv[0], const_cast<char *const *>(argv.data()), envp.data());
        _exit(127);
    }
    close(pipe_fds[0]);
    *input = pipe_fds[1];
    return pid;
}

bool exited_well(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> program_env(const upload &u)
{
    return {"CONTENT_TYPE=multipart/form-data; boundary=" + bench_boundary(),
            "CONTENT_LENGTH=" + std::to_string(u.body.size()), "PATH=/usr/bin:/bin"};
}

std::string read_file(const char *path)
{
    std::string out;
    if (FILE *f = std::fopen(path, "rb")) {
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            out.append(buffer, got);
        std::fclose(f);
    }
    return out;
}

off_t size_of(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? st.st_size : -1;
}

bool program_succeeded(const upload &u)
{
    return read_file(RESPONSE).find("\"errcode\": 0 ") != std::string::npos &&
           size_of(TARGET) == static_cast<off_t>(u.content_size);
}

double run_program(const upload &u)
{
    auto begin = std::chrono::steady_clock::now();
    int input;
    pid_t pid = start({PROGRAM, nullptr}, program_env(u), &input, false);
    feed(input, u.body);
    int status;
    waitpid(pid, &status, 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return exited_well(status) && program_succeeded(u) ? seconds : -1;
}

// The peak resident set of the program itself, read from /proc as it is
// about to exit. (A wait4 rusage would also count the pages of this
// benchmark process that the child held between fork and exec.)
long peak_rss_kib(const upload &u)
{
    int input;
    pid_t pid = start({PROGRAM, nullptr}, program_env(u), &input, true);
    int status;
    waitpid(pid, &status, 0);   // stopped at exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    feed(input, u.body);
    long peak = -1;
    for (;;) {
        if (waitpid(pid, &status, 0) < 0 || WIFEXITED(status) || WIFSIGNALED(status))
            break;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            std::string proc = read_file(("/proc/" + std::to_string(pid) + "/status").c_str());
            std::size_t at = proc.find("VmHWM:");
            if (at != std::string::npos)
                peak = std::strtol(proc.c_str() + at + 6, nullptr, 10);
        }
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    }
    return exited_well(status) && program_succeeded(u) ? peak : -1;
}

double run_floor(const upload &u)
{
    const std::string of = std::string("of=") + FLOOR_SPOOL;
    auto begin = std::chrono::steady_clock::now();
    int input;
    pid_t dd = start({"/bin/dd", "bs=4096", of.c_str(), "status=none", nullptr}, {}, &input, false);
    feed(input, u.body);
    int status;
    waitpid(dd, &status, 0);
    if (!exited_well(status))
        return -1;
    pid_t cp = start({"/bin/cp", FLOOR_SPOOL, FLOOR_COPY, nullptr}, {}, &input, false);
    close(input);
    waitpid(cp, &status, 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return exited_well(status) && size_of(FLOOR_COPY) == static_cast<off_t>(u.body.size()) ? seconds : -1;
}

void whole_program(benchmark::State &state)
{
    mkdir(UPLOAD_BENCH_TARGET_DIR, 0700);
    const upload large = make_upload(64 * MIB);
    double best_program = 1e9, best_floor = 1e9;
    for (auto _ : state) {
        double program = run_program(large);
        double floor = run_floor(large);
        if (program < 0 || floor < 0) {
            state.SkipWithError(program < 0 ? "the upload failed" : "dd or cp failed");
            return;
        }
        best_program = std::min(best_program, program);
        best_floor = std::min(best_floor, floor);
        state.SetIterationTime(program + floor);
    }
    state.counters["program_ms"] = best_program * 1e3;
    state.counters["floor_ms"] = best_floor * 1e3;
    state.counters["ratio"] = best_program / best_floor;
    unlink(FLOOR_SPOOL);
    unlink(FLOOR_COPY);
}

void peak_memory(benchmark::State &state)
{
    mkdir(UPLOAD_BENCH_TARGET_DIR, 0700);
    const upload small = make_upload(1024 + 256);
    const upload large = make_upload(64 * MIB);
    long small_kib = 0, large_kib = 0;
    for (auto _ : state) {
        small_kib = std::max(small_kib, peak_rss_kib(small));
        large_kib = std::max(large_kib, peak_rss_kib(large));
        if (small_kib < 0 || large_kib < 0) {
            state.SkipWithError("the upload failed");
            return;
        }
    }
    state.counters["small_KiB"] = static_cast<double>(small_kib);
    state.counters["large_KiB"] = static_cast<double>(large_kib);
    state.counters["growth_KiB"] = static_cast<double>(large_kib - small_kib);
}

} // namespace

BENCHMARK(whole_program)->Iterations(7)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(peak_memory)->Iterations(2)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
