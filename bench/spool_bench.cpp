// SPDX-License-Identifier: MIT
// The scanner with the program's own callbacks (upload_callbacks) spooling
// the file part to a file under /tmp, which bench.sh makes a tmpfs. Next to
// it, in the same rounds: the same content written in 64 KiB blocks (the
// floor), and the program's callbacks but for one write per content piece,
// which is what the 64 KiB spool buffer saves.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "bodies.h"
#include "upload.h"

namespace {

constexpr std::size_t PIECE = 4096;
constexpr long TMPFS = 0x01021994;

// The file part without its closing delimiter: the run ends with the part
// still open, so that only scanning and spooling are timed, not the commit.
// The last byte, not a CR, makes the scanner hand over whatever it held.
std::string open_body(content_kind kind)
{
    const std::string boundary = bench_boundary();
    return body_head(boundary) + make_content(kind, content_kind_size(kind), boundary) + 'x';
}

void reset_request()
{
    upload_state = upload_request_state{};
    upload_state.temp_fd = -1;
    upload_state.target_mode = 0600;
    upload_state.target_path = upload_profile.path;
}

int write_piece(multipart_scanner *, const char *at, std::size_t count)
{
    if (upload_state.part_kind != KIND_FILE)
        return 0;
    return write(upload_state.temp_fd, at, count) == static_cast<ssize_t>(count) ? 0 : -1;
}

scanner_callbacks write_per_piece()
{
    scanner_callbacks table = upload_callbacks;
    table.emit_part_bytes = write_piece;
    return table;
}

// Scans the body as the program does and returns the spool's size.
off_t spool(const std::string &body, const scanner_callbacks *callbacks)
{
    reset_request();
    const std::string delimiter = "--" + bench_boundary();
    multipart_scanner *scanner = scanner_create(delimiter.c_str(), callbacks);
    for (std::size_t at = 0; at < body.size(); at += PIECE) {
        std::size_t length = std::min(PIECE, body.size() - at);
        if (scanner_feed(scanner, body.data() + at, length) != length)
            break;
    }
    scanner_destroy(scanner);
    if (upload_state.temp_fd < 0 || spool_flush() != 0)
        return -1;
    off_t size = lseek(upload_state.temp_fd, 0, SEEK_END);
    close(upload_state.temp_fd);
    return size;
}

// The least it can cost: the content, already in memory, into a file.
void write_blocks(const std::string &body, std::size_t from)
{
    char name[] = "/tmp/nubo-bench-floor.XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    for (std::size_t at = from; at < body.size(); at += 65536) {
        std::size_t length = std::min<std::size_t>(65536, body.size() - at);
        if (write(fd, body.data() + at, length) != static_cast<ssize_t>(length))
            break;
    }
    close(fd);
}

double seconds_of(auto &&pass)
{
    auto start = std::chrono::steady_clock::now();
    pass();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void compare(benchmark::State &state, content_kind kind, bool with_per_piece)
{
    const std::string body = open_body(kind);
    const std::size_t head = body_head(bench_boundary()).size();
    const scanner_callbacks per_piece = write_per_piece();
    if (spool(body, &upload_callbacks) != static_cast<off_t>(content_kind_size(kind) + 1)) {
        state.SkipWithError("the spool does not hold the content");
        return;
    }
    double best_spool = 1e9, best_floor = 1e9, best_per_piece = 1e9;
    for (auto _ : state) {
        double spool_time = seconds_of([&] { spool(body, &upload_callbacks); });
        double floor_time = seconds_of([&] { write_blocks(body, head); });
        // A write per piece is slow beyond measure on CR-dense content.
        double per_piece_time = with_per_piece ? seconds_of([&] { spool(body, &per_piece); }) : 0;
        best_spool = std::min(best_spool, spool_time);
        best_floor = std::min(best_floor, floor_time);
        best_per_piece = std::min(best_per_piece, per_piece_time);
        state.SetIterationTime(spool_time + floor_time + per_piece_time);
    }
    const double mb = static_cast<double>(body.size()) / 1e6;
    state.counters["spool_MBps"] = mb / best_spool;
    state.counters["floor_MBps"] = mb / best_floor;
    if (with_per_piece)
        state.counters["per_piece_MBps"] = mb / best_per_piece;
    state.counters["ratio"] = best_spool / best_floor;
    struct statfs fs;
    state.SetLabel(statfs("/tmp", &fs) == 0 && fs.f_type == TMPFS ? "/tmp is tmpfs" : "/tmp is NOT tmpfs");
}

void register_all()
{
    const content_kind kinds[] = {
        content_kind::random_binary, content_kind::base64_lf, content_kind::base64_crlf,
        content_kind::crlf_only, content_kind::near_miss,
    };
    for (content_kind kind : kinds)
        benchmark::RegisterBenchmark((std::string("spool/") + content_kind_name(kind)).c_str(), compare, kind,
                                     kind == content_kind::random_binary || kind == content_kind::base64_crlf)
            ->UseManualTime()
            ->Iterations(5)
            ->Unit(benchmark::kMillisecond);
}

} // namespace

// The program's callbacks commit to this file when a part completes; the
// runs above never complete one.
target_profile upload_profile = {"upload-ca-cert", UPLOAD_BENCH_TARGET, 64u * 1024 * 1024};

void register_benchmarks()
{
    register_all();
}
