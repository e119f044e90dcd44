// SPDX-License-Identifier: MIT
// Runs the multipart scanner over one body in several feeding schedules and
// checks that the schedule never changes what the user learns: the same
// events (pieces joined), every content byte exactly once and in order, and
// the same stop position. Shared by the scanner fuzzer and the tests.
#ifndef SCANNER_ORACLE_H
#define SCANNER_ORACLE_H

#include <cstddef>
#include <string>
#include <vector>

namespace oracle {

struct event {
    char kind;          // N name, V value, C content, S part start,
                        // H headers end, F part finish, B body finish
    std::string data;   // joined pieces for N, V and C
    bool operator==(const event &) const = default;
};

// A notice callback that answers nonzero, so that stops caused by the user
// are compared too. kind 0 never stops.
struct stop_rule {
    char kind = 0;       // S, H, F or B
    unsigned ordinal = 0;   // stop at this occurrence, counted from 0
};

struct run_result {
    std::vector<event> events;   // joined and normalised
    size_t stop = 0;             // absolute index where the scan stopped, or the body length
    bool stopped = false;        // a feed consumed less than it was given
    std::string failure;         // empty when every per-run check held
};

// Feeds the body in chunks of the given lengths (cycled; a length of 0 feeds
// an empty chunk). An empty schedule feeds the whole body at once. Every
// chunk is fed from a heap copy of exactly its size.
run_result run(const std::string &delimiter, const std::string &body,
               const std::vector<size_t> &schedule, stop_rule rule = {});

// Runs the whole body at once, one byte at a time and by the schedule, and
// returns a description of the first disagreement, or an empty string.
std::string compare_schedules(const std::string &delimiter, const std::string &body,
                              const std::vector<size_t> &schedule, stop_rule rule = {});

std::string describe(const std::vector<event> &events);

}   // namespace oracle

#endif
