// SPDX-License-Identifier: MIT
#include "bodies.h"

#include <random>

const char *content_kind_name(content_kind kind)
{
    switch (kind) {
    case content_kind::random_binary: return "random_binary";
    case content_kind::base64_lf: return "base64_lf";
    case content_kind::base64_crlf: return "base64_crlf";
    case content_kind::crlf_only: return "crlf_only";
    case content_kind::near_miss: return "near_miss";
    }
    return "?";
}

std::size_t content_kind_size(content_kind kind)
{
    return kind == content_kind::crlf_only || kind == content_kind::near_miss ? 16 * MIB : 64 * MIB;
}

static const char ALNUM[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
static const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string bench_boundary()
{
    std::mt19937 random(20240601);
    std::string boundary = "----WebKitFormBoundary";
    for (int i = 0; i < 16; ++i)
        boundary += ALNUM[random() % (sizeof ALNUM - 1)];
    return boundary;
}

static void fill_random(std::string &out, std::size_t size)
{
    std::mt19937_64 random(42);
    out.resize(size);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word = random();
        for (int b = 0; b < 8; ++b)
            out[i + b] = static_cast<char>(word >> (8 * b));
    }
    for (; i < size; ++i)
        out[i] = static_cast<char>(random());
}

// Lines of 76 base64 characters, as PEM and MIME write them.
static void fill_base64(std::string &out, std::size_t size, const char *line_end)
{
    std::mt19937 random(7);
    out.clear();
    out.reserve(size + 80);
    while (out.size() < size) {
        for (int i = 0; i < 76; ++i)
            out += BASE64[random() % 64];
        out += line_end;
    }
    out.resize(size);
}

static void fill_repeated(std::string &out, std::size_t size, const std::string &unit)
{
    out.clear();
    out.reserve(size + unit.size());
    while (out.size() < size)
        out += unit;
    out.resize(size);
}

std::string make_content(content_kind kind, std::size_t size, const std::string &boundary)
{
    std::string content;
    switch (kind) {
    case content_kind::random_binary:
        fill_random(content, size);
        break;
    case content_kind::base64_lf:
        fill_base64(content, size, "\n");
        break;
    case content_kind::base64_crlf:
        fill_base64(content, size, "\r\n");
        break;
    case content_kind::crlf_only:
        fill_repeated(content, size, "\r\n");
        break;
    case content_kind::near_miss: {
        // CR LF and the whole delimiter but for its last byte.
        std::string unit = "\r\n--" + boundary;
        unit.back() = unit.back() == 'x' ? 'y' : 'x';
        fill_repeated(content, size, unit);
        break;
    }
    }
    return content;
}

std::string body_head(const std::string &boundary)
{
    return "--" + boundary +
           "\r\n"
           "Content-Disposition: form-data; name=\"filedata\"; filename=\"upload.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n"
           "\r\n";
}

std::string body_tail(const std::string &boundary)
{
    return "\r\n--" + boundary + "--\r\n";
}

std::string make_body(content_kind kind, std::size_t size, const std::string &boundary)
{
    return body_head(boundary) + make_content(kind, size, boundary) + body_tail(boundary);
}
