// SPDX-License-Identifier: MIT
#include "scanner_oracle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "multipart_scanner.h"

namespace oracle {
namespace {

struct recorder {
    const std::string *body = nullptr;
    std::string delimiter;   // as the scanner sees it: up to the first NUL
    std::vector<event> raw;

    // the chunk being fed
    const char *chunk = nullptr;
    size_t chunk_length = 0;
    size_t offset = 0;
    const multipart_scanner *scanner = nullptr;

    // Where the next content byte of the current part must lie in the body.
    bool have_expect = false;
    size_t expect = 0;
    // A piece from the held bytes; it lies right before the next piece.
    bool held_pending = false;
    std::string held;

    stop_rule rule;
    unsigned seen[4] = {};
    bool user_stop = false;
    std::string failure;

    void fail(const std::string &why)
    {
        if (failure.empty())
            failure = why + " (body offset " + std::to_string(offset) + ", chunk length " +
                      std::to_string(chunk_length) + ")";
    }
};

recorder &of(multipart_scanner *s)
{
    return *static_cast<recorder *>(scanner_get_user_data(s));
}

bool in_chunk(const recorder &r, const char *at, size_t length)
{
    return at >= r.chunk && at <= r.chunk + r.chunk_length &&
           length <= static_cast<size_t>(r.chunk + r.chunk_length - at);
}

void after_stop_check(recorder &r, char kind)
{
    if (r.user_stop)
        r.fail(std::string("event ") + kind + " after a callback asked to stop");
}

int on_text(multipart_scanner *s, const char *at, size_t length, char kind)
{
    recorder &r = of(s);
    after_stop_check(r, kind);
    if (!in_chunk(r, at, length)) {
        r.fail(std::string("a ") + kind + " piece outside the chunk");
        return 0;
    }
    r.raw.push_back({kind, std::string(at, length)});
    return 0;
}

int on_name(multipart_scanner *s, const char *at, size_t length)
{
    return on_text(s, at, length, 'N');
}

int on_value(multipart_scanner *s, const char *at, size_t length)
{
    return on_text(s, at, length, 'V');
}

int on_content(multipart_scanner *s, const char *at, size_t length)
{
    recorder &r = of(s);
    after_stop_check(r, 'C');
    const std::string &body = *r.body;
    if (in_chunk(r, at, length)) {
        size_t position = r.offset + static_cast<size_t>(at - r.chunk);
        size_t start = position;
        if (r.held_pending) {
            if (position < r.held.size() || body.compare(position - r.held.size(), r.held.size(), r.held) != 0)
                r.fail("held bytes do not match the body right before the next piece");
            start = position - r.held.size();
            r.held_pending = false;
        }
        if (r.have_expect && start != r.expect)
            r.fail("content piece at " + std::to_string(start) + ", expected " + std::to_string(r.expect));
        r.have_expect = true;
        r.expect = position + length;
    } else {
        const char *held = r.scanner->held_bytes;
        if (at != held || length > r.delimiter.size() + 2)
            r.fail("a content piece neither in the chunk nor the held bytes");
        else if (r.held_pending)
            r.fail("two held pieces in a row");
        r.held_pending = true;
        r.held.assign(at, length);
    }
    r.raw.push_back({'C', std::string(at, length)});
    return 0;
}

int on_notice(multipart_scanner *s, char kind, int index)
{
    recorder &r = of(s);
    after_stop_check(r, kind);
    r.raw.push_back({kind, {}});
    unsigned occurrence = r.seen[index]++;
    if (r.rule.kind == kind && r.rule.ordinal == occurrence) {
        r.user_stop = true;
        return 7;   // any nonzero value stops
    }
    return 0;
}

int on_part_start(multipart_scanner *s)
{
    return on_notice(s, 'S', 0);
}

int on_headers_end(multipart_scanner *s)
{
    recorder &r = of(s);
    r.have_expect = false;
    r.held_pending = false;
    return on_notice(s, 'H', 1);
}

int on_part_finish(multipart_scanner *s)
{
    recorder &r = of(s);
    const std::string &body = *r.body;
    const size_t L = r.delimiter.size();
    if (r.held_pending || !r.have_expect)
        r.fail("part finished without its content ending in the chunk");
    else if (r.expect + 2 + L > body.size() || body.compare(r.expect, 2, "\r\n") != 0 ||
             body.compare(r.expect + 2, L, r.delimiter) != 0)
        r.fail("part finished but CR LF and the delimiter do not follow its content");
    r.have_expect = false;
    return on_notice(s, 'F', 2);
}

int on_body_finish(multipart_scanner *s)
{
    return on_notice(s, 'B', 3);
}

const scanner_callbacks table = {
    on_name, on_value, on_content, on_part_start, on_headers_end, on_part_finish, on_body_finish,
};

// Split points cut names, values and content into pieces, so pieces of one
// kind in a row are joined. A header line without a colon ends the header
// block and its name is dropped, unless a chunk ended inside it, in which
// case its first pieces were already reported; likewise a name cut off by a
// stop or the end of the body. So only a name followed by its value counts.
std::vector<event> normalise(const std::vector<event> &raw)
{
    std::vector<event> joined;
    for (const event &e : raw) {
        bool text = e.kind == 'N' || e.kind == 'V' || e.kind == 'C';
        if (text && !joined.empty() && joined.back().kind == e.kind)
            joined.back().data += e.data;
        else
            joined.push_back(e);
    }
    std::vector<event> out;
    for (size_t i = 0; i < joined.size(); ++i) {
        if (joined[i].kind == 'N' && (i + 1 == joined.size() || joined[i + 1].kind != 'V'))
            continue;
        out.push_back(joined[i]);
    }
    return out;
}

std::string check_grammar(const std::vector<event> &events, const std::string &delimiter)
{
    enum { BEFORE, HEADERS, CONTENT, BETWEEN, DONE } at = BEFORE;
    const std::string terminator = "\r\n" + delimiter;
    const bool complete_search = delimiter.find('\r') == std::string::npos;
    for (size_t i = 0; i < events.size(); ++i) {
        const event &e = events[i];
        const std::string where = " at event " + std::to_string(i);
        switch (e.kind) {
        case 'S':
            if (at != BEFORE && at != BETWEEN)
                return "part start out of order" + where;
            at = HEADERS;
            break;
        case 'N':
            if (at != HEADERS)
                return "header name outside a header block" + where;
            for (char c : e.data)
                if (c != '-' && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
                    return "header name holds a byte that is not a letter or '-'" + where;
            break;
        case 'V':
            if (at != HEADERS || i == 0 || events[i - 1].kind != 'N')
                return "header value without a name" + where;
            if (e.data.find('\r') != std::string::npos)
                return "header value holds a CR" + where;
            break;
        case 'H':
            if (at != HEADERS)
                return "headers end out of order" + where;
            at = CONTENT;
            break;
        case 'C':
            if (at != CONTENT)
                return "content outside a part" + where;
            // Without a CR in the delimiter no delimiter line can hide in
            // content: the scanner must have ended the part there.
            if (complete_search) {
                bool finished = i + 1 < events.size() && events[i + 1].kind == 'F';
                std::string text = finished ? e.data + terminator : e.data;
                size_t found = text.find(terminator);
                if (found != std::string::npos && found != e.data.size())
                    return "content holds CR LF and the delimiter" + where;
            }
            break;
        case 'F':
            if (at != CONTENT || i == 0 || events[i - 1].kind != 'C')
                return "part finish without content" + where;
            at = BETWEEN;
            break;
        case 'B':
            if (at != BETWEEN)
                return "body finish out of order" + where;
            at = DONE;
            break;
        default:
            return "unknown event" + where;
        }
    }
    return {};
}

}   // namespace

std::string describe(const std::vector<event> &events)
{
    std::string out;
    for (const event &e : events) {
        out += e.kind;
        if (e.kind == 'N' || e.kind == 'V' || e.kind == 'C') {
            out += '"';
            for (unsigned char c : e.data) {
                if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
                    out += static_cast<char>(c);
                } else {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\x%02x", c);
                    out += hex;
                }
            }
            out += '"';
        }
        out += ' ';
    }
    return out;
}

run_result run(const std::string &delimiter, const std::string &body, const std::vector<size_t> &schedule,
               stop_rule rule)
{
    run_result result;
    recorder r;
    r.body = &body;
    r.delimiter = delimiter.c_str();
    r.rule = rule;
    multipart_scanner *s = scanner_create(delimiter.c_str(), &table);
    if (!s) {
        result.failure = "scanner_create returned null";
        return result;
    }
    r.scanner = s;
    scanner_set_user_data(s, &r);
    if (scanner_get_user_data(s) != &r)
        r.fail("user data not kept");

    size_t position = 0;
    size_t step = 0;
    size_t empty_run = 0;
    result.stop = body.size();
    while (position < body.size()) {
        size_t left = body.size() - position;
        size_t want = schedule.empty() ? left : std::min(schedule[step++ % schedule.size()], left);
        // A schedule of empty chunks only must still get through the body.
        if (want == 0 && ++empty_run > schedule.size())
            want = 1;
        if (want > 0)
            empty_run = 0;
        std::unique_ptr<char[]> copy(new char[want]);
        memcpy(copy.get(), body.data() + position, want);
        r.chunk = copy.get();
        r.chunk_length = want;
        r.offset = position;
        size_t consumed = scanner_feed(s, copy.get(), want);
        if (consumed > want) {
            r.fail("scanner_feed consumed more than it was given");
            break;
        }
        if (consumed < want) {
            result.stopped = true;
            result.stop = position + consumed;
            break;
        }
        if (r.user_stop)
            r.fail("a callback asked to stop but the whole chunk was consumed");
        position += want;
    }
    scanner_destroy(s);

    result.events = normalise(r.raw);
    result.failure = r.failure;
    if (result.failure.empty())
        result.failure = check_grammar(result.events, r.delimiter);
    return result;
}

std::string compare_schedules(const std::string &delimiter, const std::string &body,
                              const std::vector<size_t> &schedule, stop_rule rule)
{
    struct named {
        const char *name;
        run_result result;
    } runs[] = {
        {"whole body", run(delimiter, body, {}, rule)},
        {"byte by byte", run(delimiter, body, {1}, rule)},
        {"schedule", run(delimiter, body, schedule, rule)},
    };
    for (const named &n : runs)
        if (!n.result.failure.empty())
            return std::string(n.name) + ": " + n.result.failure;
    const run_result &whole = runs[0].result;
    for (size_t i = 1; i < 3; ++i) {
        const run_result &other = runs[i].result;
        if (other.stop != whole.stop || other.stopped != whole.stopped)
            return std::string(runs[i].name) + " stops at " + std::to_string(other.stop) +
                   (other.stopped ? "" : " (end)") + ", whole body at " + std::to_string(whole.stop) +
                   (whole.stopped ? "" : " (end)");
        if (other.events != whole.events)
            return std::string(runs[i].name) + " trace differs:\n  " + describe(other.events) +
                   "\nwhole body:\n  " + describe(whole.events);
    }
    return {};
}

}   // namespace oracle
