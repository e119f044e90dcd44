// SPDX-License-Identifier: MIT
// scanner_feed skips through content and header values; scanner_feed_plain
// takes every byte through the state table. For every body and every way of
// cutting it into chunks, both must make the same callback calls (same slot,
// same count, same bytes, pointing into the chunk at the same offset or into
// the held bytes), return the same counts and end in the same state, also
// when a callback stops the scan at any one of its calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "multipart_scanner.h"
#include "scanner_plain.h"

namespace {

// The sanitizer build runs every case some thirty times slower; half the
// generated bodies still reach every shortcut there.
#ifdef __SANITIZE_ADDRESS__
constexpr int BODIES = 2;
#else
constexpr int BODIES = 4;
#endif

using feed_function = size_t (*)(multipart_scanner *, const char *, size_t);

struct recorder {
    std::string trace;
    const char *chunk = nullptr;
    size_t chunk_length = 0;
    long events = 0;
    long stop_at = -1;   // the call that returns nonzero; -1 for none
};

recorder &of(multipart_scanner *s)
{
    return *static_cast<recorder *>(scanner_get_user_data(s));
}

int record(multipart_scanner *s, const char *what, const char *at, size_t count, bool data)
{
    recorder &r = of(s);
    r.trace += what;
    if (data) {
        // Where the piece points matters, not only what it holds.
        const char *held = s->held_bytes;
        if (at >= r.chunk && at <= r.chunk + r.chunk_length)
            r.trace += " chunk+" + std::to_string(at - r.chunk);
        else if (at >= held && at <= held + s->delimiter_length + 2)
            r.trace += " held+" + std::to_string(at - held);
        else
            r.trace += " elsewhere";
        r.trace += " [" + std::string(at, count) + "]";
    }
    r.trace += '\n';
    return r.events++ == r.stop_at ? 1 : 0;
}

int header_name(multipart_scanner *s, const char *at, size_t count) { return record(s, "name", at, count, true); }
int header_value(multipart_scanner *s, const char *at, size_t count) { return record(s, "value", at, count, true); }
int part_bytes(multipart_scanner *s, const char *at, size_t count) { return record(s, "bytes", at, count, true); }
int part_start(multipart_scanner *s) { return record(s, "part_start", nullptr, 0, false); }
int headers_end(multipart_scanner *s) { return record(s, "headers_end", nullptr, 0, false); }
int part_finish(multipart_scanner *s) { return record(s, "part_finish", nullptr, 0, false); }
int body_finish(multipart_scanner *s) { return record(s, "body_finish", nullptr, 0, false); }

const scanner_callbacks recording = {
    header_name, header_value, part_bytes, part_start, headers_end, part_finish, body_finish,
};

// Feeds the body in chunks ending at the given cut positions, as a caller
// does: each chunk from a buffer of its own (so that a piece pointing into an
// earlier chunk would show), giving up at the first short count.
std::string run(feed_function feed, const std::string &delimiter, const std::string &body,
                const std::vector<size_t> &cuts, long stop_at, long *events = nullptr)
{
    recorder r;
    r.stop_at = stop_at;
    multipart_scanner *s = scanner_create(delimiter.c_str(), &recording);
    scanner_set_user_data(s, &r);
    size_t from = 0;
    for (size_t k = 0; k <= cuts.size(); ++k) {
        const size_t to = k < cuts.size() ? cuts[k] : body.size();
        std::vector<char> chunk(body.begin() + static_cast<long>(from), body.begin() + static_cast<long>(to));
        r.chunk = chunk.data();
        r.chunk_length = chunk.size();
        const size_t consumed = feed(s, chunk.data(), chunk.size());
        r.trace += "fed " + std::to_string(chunk.size()) + " took " + std::to_string(consumed) +
                   " state " + std::to_string(s->state) + " match " + std::to_string(s->match_index) + '\n';
        if (consumed < chunk.size())
            break;
        from = to;
    }
    scanner_destroy(s);
    if (events)
        *events = r.events;
    return r.trace;
}

// Compares the two walks on one split, with no stop and with a stop at each
// call in turn when `every_stop` is set.
void expect_same(const std::string &delimiter, const std::string &body, const std::vector<size_t> &cuts,
                 bool every_stop)
{
    long events = 0;
    const std::string plain = run(scanner_feed_plain, delimiter, body, cuts, -1, &events);
    const std::string fast = run(scanner_feed, delimiter, body, cuts, -1);
    ASSERT_EQ(plain, fast) << "delimiter [" << delimiter << "] body [" << body << "]";
    if (!every_stop)
        return;
    for (long stop = 0; stop < events; ++stop)
        ASSERT_EQ(run(scanner_feed_plain, delimiter, body, cuts, stop), run(scanner_feed, delimiter, body, cuts, stop))
            << "stop at call " << stop << " delimiter [" << delimiter << "] body [" << body << "]";
}

void expect_same_every_way(const std::string &delimiter, const std::string &body, std::mt19937 &random)
{
    expect_same(delimiter, body, {}, true);
    std::vector<size_t> bytewise;
    for (size_t at = 1; at < body.size(); ++at)
        bytewise.push_back(at);
    expect_same(delimiter, body, bytewise, true);
    if (body.size() <= 600) {
        for (size_t at = 1; at < body.size(); ++at)
            expect_same(delimiter, body, {at}, at % 17 == 0);
    }
    for (int round = 0; round < 12; ++round) {
        std::vector<size_t> cuts;
        size_t at = 0;
        for (;;) {
            at += 1 + random() % (round % 3 == 0 ? 8 : 97);
            if (at >= body.size())
                break;
            cuts.push_back(at);
        }
        expect_same(delimiter, body, cuts, round == 0);
    }
}

// Content made of what stresses the walk: CRs, LFs, delimiter look-alikes.
std::string stress_content(std::mt19937 &random, const std::string &delimiter, size_t length, int density)
{
    std::string out;
    while (out.size() < length) {
        switch (random() % 10) {
        case 0: out += "\r\n"; break;
        case 1: out += '\r'; break;
        case 2: out += '\n'; break;
        case 3: // CR LF and a prefix of the delimiter, then maybe a wrong byte
            out += "\r\n" + delimiter.substr(0, random() % (delimiter.size() + 1));
            if (random() % 2)
                out += static_cast<char>(random());
            break;
        case 4: out += delimiter.substr(0, 1 + random() % delimiter.size()); break;
        default: {
            // a run of plain bytes, long or short
            size_t run = density ? random() % density : 0;
            for (size_t i = 0; i < run; ++i)
                out += static_cast<char>("ab-cd\t 0\x80\xff"[random() % 10]);
        }
        }
    }
    return out;
}

std::string random_bytes(std::mt19937 &random, size_t length)
{
    std::string out(length, '\0');
    for (char &c : out)
        c = static_cast<char>(random());
    return out;
}

std::string header_block(std::mt19937 &random, const std::string &delimiter)
{
    std::string out;
    int lines = static_cast<int>(random() % 4);
    for (int line = 0; line < lines; ++line) {
        out += random() % 2 ? "Content-Disposition" : "X-a";
        out += ':';
        out += std::string(random() % 3, ' ');
        // A CR ends the value; without one the line stays well formed.
        std::string value = stress_content(random, delimiter, random() % 40, 20);
        if (random() % 4)
            value.erase(std::remove(value.begin(), value.end(), '\r'), value.end());
        out += value + "\r\n";
    }
    return out + "\r\n";
}

std::string body_of(std::mt19937 &random, const std::string &delimiter, const std::string &content_kind, size_t length)
{
    std::string body = delimiter + "\r\n";
    const int parts = 1 + static_cast<int>(random() % 2);
    for (int part = 0; part < parts; ++part) {
        if (part > 0)
            body += "\r\n" + delimiter + "\r\n";
        body += header_block(random, delimiter);
        if (content_kind == "random")
            body += random_bytes(random, length);
        else if (content_kind == "dense")
            body += stress_content(random, delimiter, length, 4);
        else
            body += stress_content(random, delimiter, length, 200);
    }
    body += "\r\n" + delimiter + "--\r\nepilogue";
    return body;
}

const char *const DELIMITERS[] = {
    "--", "-", "a", "--b", "--XyZ", "--\r", "\r", "\r\n--", "-\n-", "--\xff\x80",
    "------WebKitFormBoundary7MA4YWxkTrZu0gW",
};

class FastPath : public ::testing::TestWithParam<const char *> {};

TEST_P(FastPath, SameEventsAsThePlainWalkOnSmallBodiesCutEveryWay)
{
    const std::string delimiter = GetParam();
    std::mt19937 random(static_cast<unsigned>(std::hash<std::string>()(delimiter)));
    for (const char *kind : {"random", "dense", "sparse"}) {
        for (int round = 0; round < BODIES; ++round)
            expect_same_every_way(delimiter, body_of(random, delimiter, kind, random() % 120), random);
    }
}

TEST_P(FastPath, SameEventsAsThePlainWalkOnLargeBodies)
{
    const std::string delimiter = GetParam();
    std::mt19937 random(7 + static_cast<unsigned>(delimiter.size()));
    for (const char *kind : {"random", "dense", "sparse"}) {
        const std::string body = body_of(random, delimiter, kind, 20000);
        expect_same(delimiter, body, {}, false);
        for (size_t piece : {1u, 2u, 3u, 7u, 64u, 4096u}) {
            std::vector<size_t> cuts;
            for (size_t at = piece; at < body.size(); at += piece)
                cuts.push_back(at);
            expect_same(delimiter, body, cuts, false);
        }
    }
}

// Bodies that are not multipart at all, or break off, still walk alike.
TEST_P(FastPath, SameEventsOnArbitraryBytes)
{
    const std::string delimiter = GetParam();
    std::mt19937 random(99);
    for (int round = 0; round < 6 * BODIES; ++round) {
        std::string body = delimiter + "\r\n" + stress_content(random, delimiter, random() % 80, 6);
        expect_same_every_way(delimiter, body, random);
    }
}

INSTANTIATE_TEST_SUITE_P(Delimiters, FastPath, ::testing::ValuesIn(DELIMITERS));

} // namespace
