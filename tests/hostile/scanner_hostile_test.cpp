// SPDX-License-Identifier: MIT
// Bodies built to break a streaming multipart scanner: delimiters cut by
// every read boundary, content made only of line ends, near misses, extreme
// delimiter and header lengths, floods of parts. Each must give exactly the
// events and the stop that the grammar defines, in any feeding schedule.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "multipart_scanner.h"
#include "scanner_oracle.h"

using oracle::event;

namespace {

const std::string CRLF = "\r\n";

std::string file_part(const std::string &delimiter, const std::string &content,
                      const std::string &headers = "Content-Disposition: form-data; name=\"filedata\"\r\n")
{
    return delimiter + CRLF + headers + CRLF + content + CRLF;
}

std::string one_file(const std::string &delimiter, const std::string &content)
{
    return file_part(delimiter, content) + delimiter + "--" + CRLF;
}

// The content of every finished part, in order.
std::vector<std::string> contents(const std::vector<event> &events)
{
    std::vector<std::string> out;
    for (size_t i = 0; i + 1 < events.size(); ++i)
        if (events[i].kind == 'C' && events[i + 1].kind == 'F')
            out.push_back(events[i].data);
    return out;
}

size_t count(const std::vector<event> &events, char kind)
{
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const event &e) { return e.kind == kind; }));
}

// The whole body at once; checks hold inside the run, schedules are compared
// by the callers that need them.
oracle::run_result whole(const std::string &delimiter, const std::string &body)
{
    oracle::run_result r = oracle::run(delimiter, body, {});
    EXPECT_EQ(r.failure, "");
    return r;
}

void expect_schedules_agree(const std::string &delimiter, const std::string &body, const std::vector<size_t> &schedule)
{
    EXPECT_EQ(oracle::compare_schedules(delimiter, body, schedule), "");
}

std::string captured(const std::string &name)
{
    std::ifstream f(std::string(CAPTURED_BODIES) + "/" + name + ".body", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    EXPECT_FALSE(s.str().empty()) << name;
    return s.str();
}

std::string captured_delimiter(const std::string &name)
{
    std::ifstream f(std::string(CAPTURED_BODIES) + "/content-types");
    for (std::string line; std::getline(f, line);)
        if (line.compare(0, name.size() + 1, name + "\t") == 0)
            return "--" + line.substr(line.find('=') + 1);
    ADD_FAILURE() << "no content type for " << name;
    return "--";
}

}   // namespace

TEST(HostileBodies, DelimiterStraddlingAReadBoundaryAtEveryOffset)
{
    // Real bodies from curl and Chromium, cut into two reads at every byte,
    // and into three reads around every delimiter line.
    for (const char *name : {"curl-client-cert", "chromium-binary", "curl-priv-crlf", "chromium-empty-file"}) {
        const std::string body = captured(name);
        const std::string delimiter = captured_delimiter(name);
        SCOPED_TRACE(name);
        oracle::run_result reference = whole(delimiter, body);
        ASSERT_FALSE(reference.stopped);
        ASSERT_EQ(count(reference.events, 'B'), 1u);
        for (size_t cut = 0; cut <= body.size(); ++cut) {
            oracle::run_result split = oracle::run(delimiter, body, {cut, body.size()});
            ASSERT_EQ(split.failure, "") << "cut at " << cut;
            ASSERT_EQ(split.events, reference.events) << "cut at " << cut;
            ASSERT_EQ(split.stop, reference.stop) << "cut at " << cut;
        }
        for (size_t at = body.find(delimiter, 1); at != std::string::npos; at = body.find(delimiter, at + 1)) {
            for (size_t first = at - 2; first < at + delimiter.size() + 2; ++first)
                for (size_t second : {size_t(1), size_t(2), delimiter.size() / 2, delimiter.size(), delimiter.size() + 1}) {
                    oracle::run_result split = oracle::run(delimiter, body, {first, second, body.size()});
                    ASSERT_EQ(split.events, reference.events) << "cuts at " << first << " and " << first + second;
                }
        }
    }
}

TEST(HostileBodies, ContentOfNothingButLineEnds)
{
    const std::string d = "--XyZ";
    for (const std::string &content :
         {CRLF, CRLF + CRLF, std::string(20000, '\r'), std::string(20000, '\n'), [&] {
              std::string s;
              for (int i = 0; i < 10000; ++i)
                  s += CRLF;
              return s;
          }()}) {
        const std::string body = one_file(d, content);
        oracle::run_result r = whole(d, body);
        EXPECT_EQ(contents(r.events), std::vector<std::string>{content}) << content.size();
        expect_schedules_agree(d, body, {4096});
        expect_schedules_agree(d, body, {1, 2, 3});
    }
}

TEST(HostileBodies, NearMissDelimitersAreContent)
{
    const std::string d = "----WebKitFormBoundaryQOGHLdQsPOSfE2jZ";
    std::string content;
    // every proper prefix of the delimiter line, then a byte that breaks it
    for (size_t k = 0; k < d.size(); ++k)
        content += CRLF + d.substr(0, k) + (k % 2 ? "x" : "\r");
    // the whole delimiter without its line end, and with its last byte changed
    content += "a" + d + "b" + CRLF + d.substr(0, d.size() - 1) + "!";
    // a near miss that runs straight into a line end
    content += CRLF + d.substr(0, 10) + CRLF + "tail";
    const std::string body = one_file(d, content);
    oracle::run_result r = whole(d, body);
    EXPECT_EQ(contents(r.events), std::vector<std::string>{content});
    expect_schedules_agree(d, body, {1, 7, 4096});
    expect_schedules_agree(d, body, {static_cast<size_t>(d.size() + 1)});
}

TEST(HostileBodies, BoundariesOfZeroOneSeventyAndTenThousandCharacters)
{
    for (size_t length : {0, 1, 70, 10000}) {
        std::string boundary;
        for (size_t i = 0; i < length; ++i)
            boundary += static_cast<char>('a' + i % 26);
        const std::string d = "--" + boundary;
        SCOPED_TRACE(length);
        // content that matches all of the delimiter line but its last byte
        const std::string content =
            "key" + CRLF + d.substr(0, d.size() - 1) + "!" + CRLF + "-x" + CRLF + "end";
        const std::string body = "" + file_part(d, "session", "Content-Disposition: form-data; name=\"sessionid\"\r\n") +
                                 file_part(d, content) + d + "--";
        oracle::run_result r = whole(d, body);
        EXPECT_FALSE(r.stopped);
        EXPECT_EQ(contents(r.events), (std::vector<std::string>{"session", content}));
        EXPECT_EQ(count(r.events, 'B'), 1u);
        expect_schedules_agree(d, body, {4096});
        expect_schedules_agree(d, body, {3, 4095});
    }
}

TEST(HostileBodies, HeaderLineOfOneMebibyte)
{
    const std::string d = "--XyZ";
    const std::string huge_value(1 << 20, 'v');
    std::string huge_name(1 << 20, 'N');
    huge_name[1000] = '-';
    const std::string body = d + CRLF + "X-Long: " + huge_value + CRLF + huge_name + ": short" + CRLF +
                             "Content-Disposition: form-data; name=\"filedata\"" + CRLF + CRLF + "k" + CRLF + d + "--";
    oracle::run_result r = whole(d, body);
    ASSERT_FALSE(r.stopped);
    std::vector<event> headers(r.events.begin() + 1, r.events.begin() + 7);
    EXPECT_EQ(headers, (std::vector<event>{{'N', "X-Long"},
                                           {'V', huge_value},
                                           {'N', huge_name},
                                           {'V', "short"},
                                           {'N', "Content-Disposition"},
                                           {'V', "form-data; name=\"filedata\""}}));
    EXPECT_EQ(contents(r.events), std::vector<std::string>{"k"});
    expect_schedules_agree(d, body, {4096});
}

TEST(HostileBodies, HundredThousandTinyPartsBeforeTheFilePart)
{
    const std::string d = "--b";
    std::string body;
    for (int i = 0; i < 100000; ++i)
        body += d + CRLF + CRLF + "x" + CRLF;
    body += file_part(d, "the file") + d + "--" + CRLF;
    oracle::run_result r = whole(d, body);
    ASSERT_FALSE(r.stopped);
    EXPECT_EQ(count(r.events, 'S'), 100001u);
    EXPECT_EQ(count(r.events, 'H'), 100001u);
    EXPECT_EQ(count(r.events, 'F'), 100001u);
    EXPECT_EQ(contents(r.events).back(), "the file");
    expect_schedules_agree(d, body, {4096});
}

TEST(HostileBodies, MalformedBodiesStopAtTheOffendingByte)
{
    const std::string d = "--XyZ";
    const std::string disposition = "Content-Disposition: form-data;";
    struct {
        const char *name;
        std::string body;
        size_t stop;   // npos: the whole body is consumed
    } cases[] = {
        // a folded line's leading blank is not a header-name byte
        {"folded with a space", d + CRLF + disposition + CRLF + " name=\"filedata\"" + CRLF + CRLF + "x",
         d.size() + 2 + disposition.size() + 2},
        {"folded with a tab", d + CRLF + disposition + CRLF + "\tname=\"filedata\"" + CRLF + CRLF + "x",
         d.size() + 2 + disposition.size() + 2},
        {"preamble", "\r\n" + d + CRLF, 0},
        {"space after the first delimiter", d + " " + CRLF, d.size()},
        {"bare LF after the first delimiter", d + "\n", d.size()},
        {"CR without LF after the first delimiter", d + "\rX", d.size() + 1},
        {"space after a later delimiter", file_part(d, "x") + d + " " + CRLF, file_part(d, "x").size() + d.size()},
        {"one closing hyphen", file_part(d, "x") + d + "-x", file_part(d, "x").size() + d.size() + 1},
        {"digit in a header name", d + CRLF + "X-1: y" + CRLF, d.size() + 2 + 2},
        {"CR without LF in the header block", d + CRLF + "A: b\rc", d.size() + 2 + 5},
        {"CR without LF ending the headers", d + CRLF + "\rc", d.size() + 3},
        // no closing delimiter: everything is consumed, the part never ends
        {"no closing delimiter", file_part(d, "abc").substr(0, file_part(d, "abc").size() - 2), std::string::npos},
        {"closing delimiter without line end", one_file(d, "abc").substr(0, one_file(d, "abc").size() - 2),
         std::string::npos},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        oracle::run_result r = whole(d, c.body);
        if (c.stop == std::string::npos) {
            EXPECT_FALSE(r.stopped);
        } else {
            EXPECT_TRUE(r.stopped);
            EXPECT_EQ(r.stop, c.stop);
        }
        expect_schedules_agree(d, c.body, {1, 2});
        expect_schedules_agree(d, c.body, {5});
    }
    // the body that ends without its closing delimiter reports its content
    // so far but never finishes the part
    oracle::run_result open_ended = whole(d, file_part(d, "abc") + d.substr(0, 3));
    EXPECT_EQ(count(open_ended.events, 'F'), 0u);
    EXPECT_EQ(open_ended.events.back(), (event{'C', "abc"}));
}

TEST(HostileBodies, CallbackStopsAtEveryNoticeGiveTheSameIndexInAnySchedule)
{
    const std::string name = "chromium-client-cert";
    const std::string body = captured(name);
    const std::string d = captured_delimiter(name);
    for (char kind : {'S', 'H', 'F', 'B'})
        for (unsigned ordinal : {0u, 1u}) {
            oracle::stop_rule rule{kind, ordinal};
            SCOPED_TRACE(std::string(1, kind).append(std::to_string(ordinal)));
            EXPECT_EQ(oracle::compare_schedules(d, body, {1, 4095}, rule), "");
            oracle::run_result r = oracle::run(d, body, {}, rule);
            EXPECT_EQ(r.stopped, !(kind == 'B' && ordinal == 1));
        }
}

TEST(ScannerLibrary, EmptyDelimiterIsRefused)
{
    // With no delimiter bytes the walk through a candidate delimiter would
    // never complete and would run on past the held bytes; no scanner may
    // exist to be fed such bytes.
    static const scanner_callbacks none = {};
    EXPECT_EQ(scanner_create("", &none), nullptr);
    const char nul_first[] = "\0--XyZ";
    EXPECT_EQ(scanner_create(nul_first, &none), nullptr);
    // The shortest delimiter there is still works on exactly those bytes.
    multipart_scanner *one = scanner_create("-", &none);
    ASSERT_NE(one, nullptr);
    const std::string bytes = "-\r\n\r\n" + std::string(64, '\r') + "\r\n\r\n\r\n-";
    EXPECT_EQ(scanner_feed(one, bytes.data(), bytes.size()), bytes.size());
    scanner_destroy(one);
    EXPECT_EQ(oracle::compare_schedules("-", bytes, {1, 2, 3}), "");
}
