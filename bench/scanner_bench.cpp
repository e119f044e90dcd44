// SPDX-License-Identifier: MIT
// The scanner alone over the five kinds of content, fed in the program's
// 4096-byte pieces, next to a memchr for CR over the same buffer: the least
// any scanner must do is find every CR.
//
// The machine is shared, so each kind is measured as one benchmark that runs
// memchr, the scanner and the plain walk in turn, again and again, and keeps
// each one's fastest pass: load from elsewhere only ever adds time, and it
// hits all three alike.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>

#include "bodies.h"
#include "multipart_scanner.h"
#include "scanner_plain.h"

namespace {

constexpr std::size_t PIECE = 4096;

const std::string &body_of(content_kind kind)
{
    static std::map<content_kind, std::string> bodies;
    auto found = bodies.find(kind);
    if (found == bodies.end())
        found = bodies.emplace(kind, make_body(kind, content_kind_size(kind), bench_boundary())).first;
    return found->second;
}

// The least a user does: take each piece and go on. Counting is left to a
// separate check, so that only the scanner's own work is timed.
int take_bytes(multipart_scanner *, const char *, std::size_t) { return 0; }
int take_notice(multipart_scanner *) { return 0; }
const scanner_callbacks taking = {
    take_bytes, take_bytes, take_bytes, take_notice, take_notice, take_notice, take_notice,
};

std::size_t counted_bytes;
int count_bytes(multipart_scanner *, const char *, std::size_t count)
{
    counted_bytes += count;
    return 0;
}
const scanner_callbacks counting = {
    nullptr, nullptr, count_bytes, nullptr, nullptr, nullptr, nullptr,
};

using feed_function = std::size_t (*)(multipart_scanner *, const char *, std::size_t);

bool scan_body(const std::string &body, const scanner_callbacks *callbacks, feed_function feed)
{
    static const std::string delimiter = "--" + bench_boundary();
    multipart_scanner *scanner = scanner_create(delimiter.c_str(), callbacks);
    bool whole = true;
    for (std::size_t at = 0; at < body.size() && whole; at += PIECE) {
        std::size_t length = std::min(PIECE, body.size() - at);
        whole = feed(scanner, body.data() + at, length) == length;
    }
    scanner_destroy(scanner);
    return whole;
}

std::size_t find_every_cr(const std::string &body)
{
    std::size_t found = 0;
    for (std::size_t at = 0; at < body.size(); at += PIECE) {
        const char *p = body.data() + at;
        const char *end = p + std::min(PIECE, body.size() - at);
        while (const void *cr = std::memchr(p, '\r', static_cast<std::size_t>(end - p))) {
            ++found;
            p = static_cast<const char *>(cr) + 1;
        }
    }
    return found;
}

// What the events alone cost where they are densest: content of nothing but
// CR LF makes every walk, plain or not, call emit_part_bytes twice per pair
// (the held CR LF, then an empty piece before the next CR). These are the
// same two calls through the same table with no scanning at all.
void call_twice_per_pair(const std::string &body, const scanner_callbacks *callbacks)
{
    scanner_data_cb emit = callbacks->emit_part_bytes;
    benchmark::DoNotOptimize(emit);   // an indirect call, as in the scanner
    for (std::size_t at = 0; at + 1 < body.size(); at += 2) {
        if (emit(nullptr, body.data() + at, 2) || emit(nullptr, body.data() + at, 0))
            break;
    }
}

double seconds_of(auto &&pass)
{
    auto start = std::chrono::steady_clock::now();
    pass();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void compare(benchmark::State &state, content_kind kind)
{
    const std::string &body = body_of(kind);
    counted_bytes = 0;
    if (!scan_body(body, &counting, scanner_feed) || counted_bytes != content_kind_size(kind)) {
        state.SkipWithError("the scanner lost content");
        return;
    }
    const bool calls_floor = kind == content_kind::crlf_only;
    double best_memchr = 1e9, best_scanner = 1e9, best_plain = 1e9, best_calls = 1e9;
    for (auto _ : state) {
        double memchr_time = seconds_of([&] { benchmark::DoNotOptimize(find_every_cr(body)); });
        double scanner_time = seconds_of([&] { scan_body(body, &taking, scanner_feed); });
        double plain_time = seconds_of([&] { scan_body(body, &taking, scanner_feed_plain); });
        double calls_time = calls_floor ? seconds_of([&] { call_twice_per_pair(body, &taking); }) : 0;
        best_memchr = std::min(best_memchr, memchr_time);
        best_scanner = std::min(best_scanner, scanner_time);
        best_plain = std::min(best_plain, plain_time);
        best_calls = std::min(best_calls, calls_time);
        state.SetIterationTime(memchr_time + scanner_time + plain_time + calls_time);
    }
    const double mb = static_cast<double>(body.size()) / 1e6;
    state.counters["memchr_MBps"] = mb / best_memchr;
    state.counters["scanner_MBps"] = mb / best_scanner;
    state.counters["plain_MBps"] = mb / best_plain;
    state.counters["ratio"] = best_memchr / best_scanner;
    if (calls_floor)
        state.counters["calls_MBps"] = mb / best_calls;
}

void register_all()
{
    const content_kind kinds[] = {
        content_kind::random_binary, content_kind::base64_lf, content_kind::base64_crlf,
        content_kind::crlf_only, content_kind::near_miss,
    };
    for (content_kind kind : kinds)
        benchmark::RegisterBenchmark((std::string("scan/") + content_kind_name(kind)).c_str(), compare, kind)
            ->UseManualTime()
            ->Iterations(12)
            ->Unit(benchmark::kMillisecond);
}

} // namespace

void register_benchmarks()
{
    register_all();
}
