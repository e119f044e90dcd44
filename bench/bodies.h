// SPDX-License-Identifier: MIT
// Request bodies for the benchmarks: one file part whose content is of a
// chosen kind, with a browser-style boundary.
#ifndef BENCH_BODIES_H
#define BENCH_BODIES_H

#include <cstddef>
#include <string>

enum class content_kind {
    random_binary,
    base64_lf,
    base64_crlf,
    crlf_only,
    near_miss,
};

constexpr std::size_t MIB = 1024 * 1024;

// Short name for benchmark names and the table.
const char *content_kind_name(content_kind kind);

// The size the issue measures each kind at: 64 MiB, or 16 MiB for the two
// kinds made of nothing but CRs and delimiter look-alikes.
std::size_t content_kind_size(content_kind kind);

// "----WebKitFormBoundary" and 16 letters and digits; the same every run.
std::string bench_boundary();

// `size` bytes of content of the given kind for the delimiter "--" + boundary.
std::string make_content(content_kind kind, std::size_t size, const std::string &boundary);

// The part's delimiter line and headers, up to and including the blank line.
std::string body_head(const std::string &boundary);
// CR LF, the closing delimiter and CR LF.
std::string body_tail(const std::string &boundary);

// A whole body: head, content, tail.
std::string make_body(content_kind kind, std::size_t size, const std::string &boundary);

#endif
