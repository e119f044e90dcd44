// SPDX-License-Identifier: MIT
#include "trace.h"


static trace_recorder &recorder(multipart_scanner *s)
{
    return *static_cast<trace_recorder *>(scanner_get_user_data(s));
}

static int record(multipart_scanner *s, std::string event)
{
    trace_recorder &r = recorder(s);
    r.events.push_back(std::move(event));
    return static_cast<int>(r.events.size()) - 1 == r.stop_at_event ? -1 : 0;
}

static int data(multipart_scanner *s, const char *kind, const char *at, size_t n)
{
    return record(s, kind + std::string(at, n));
}

static int on_name(multipart_scanner *s, const char *at, size_t n) { return data(s, "N:", at, n); }
static int on_value(multipart_scanner *s, const char *at, size_t n) { return data(s, "V:", at, n); }
static int on_bytes(multipart_scanner *s, const char *at, size_t n)
{
    trace_recorder &r = recorder(s);
    if (n > 0 && (at < r.chunk || at + n > r.chunk + r.chunk_length))
        r.held_piece = true;
    return data(s, "B:", at, n);
}
static int on_start(multipart_scanner *s) { return record(s, "S"); }
static int on_headers_end(multipart_scanner *s) { return record(s, "H"); }
static int on_finish(multipart_scanner *s) { return record(s, "F"); }
static int on_body_finish(multipart_scanner *s) { return record(s, "E"); }

static const scanner_callbacks table = {on_name, on_value, on_bytes, on_start,
                                        on_headers_end, on_finish, on_body_finish};

const scanner_callbacks *recording_callbacks()
{
    return &table;
}

feed_result feed_split(const std::string &delimiter, const std::string &body,
                       const std::vector<size_t> &cuts, int stop_at_event)
{
    trace_recorder r;
    r.stop_at_event = stop_at_event;
    // Exactly the memory the scanner asks for, so that the sanitizers catch
    // a walk past it (operator new aligns it for any record).
    std::vector<char> memory(scanner_size(delimiter.size()));
    multipart_scanner *s = scanner_init(memory.data(), memory.size(), delimiter.c_str(), &table);
    scanner_set_user_data(s, &r);
    size_t from = 0;
    size_t consumed = body.size();
    std::vector<size_t> ends = cuts;
    ends.push_back(body.size());
    for (size_t to : ends) {
        // Each chunk is a copy of its own, so that a piece pointing past it
        // is caught by the sanitizers.
        std::string chunk = body.substr(from, to - from);
        r.chunk = chunk.data();
        r.chunk_length = chunk.size();
        size_t n = scanner_feed(s, chunk.data(), chunk.size());
        if (n < chunk.size()) {
            consumed = from + n;
            break;
        }
        from = to;
    }
    return {r.events, consumed, r.held_piece};
}

feed_result feed_whole(const std::string &delimiter, const std::string &body, int stop_at_event)
{
    return feed_split(delimiter, body, {}, stop_at_event);
}

std::vector<std::string> merged(const std::vector<std::string> &events)
{
    std::vector<std::string> out;
    for (const std::string &e : events) {
        bool piece = e.size() >= 2 && e[1] == ':';
        if (piece && e.size() == 2)
            continue;
        if (piece && !out.empty() && out.back().compare(0, 2, e, 0, 2) == 0)
            out.back() += e.substr(2);
        else
            out.push_back(e);
    }
    return out;
}
