// SPDX-License-Identifier: MIT
// Hostile requests against the real programs: every one must get exactly
// its defined answer, leave the target as that answer says, keep no spool
// name, and exit 0 without hanging.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string B = "----WebKitFormBoundaryQOGHLdQsPOSfE2jZ";
const std::string &OLD = OLD_TARGET;
const std::string CRLF = "\r\n";
const std::string DISPOSITION = "Content-Disposition: form-data; name=\"filedata\"; filename=\"a.pem\"";

class Hostile : public with_old_target {
};

upload_outcome upload(const upload_run &run)
{
    return run_upload_checked(run);
}

void expect_replaced_by(const std::string &content)
{
    EXPECT_TRUE(read_file(target_path()) == content) << "the target is not the upload";
    EXPECT_EQ(file_mode(target_path()), 0600u);
}

std::vector<std::string> pieces_of(const std::string &body, size_t size)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < body.size(); at += size)
        out.push_back(body.substr(at, size));
    return out;
}

std::string boundary_of(size_t length)
{
    std::string b;
    for (size_t i = 0; i < length; ++i)
        b += "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_,-./:=?"[i % 73];
    return b;
}

}   // namespace

TEST_F(Hostile, DelimiterAfterTheFileStraddlingAReadAtEveryOffset)
{
    const std::string content = "key\r\n--" + B.substr(0, 9);
    const std::string body = file_body(B, content);
    const size_t from = body.rfind(CRLF + "--" + B) - 1;
    for (size_t cut = from; cut <= from + 2 + 2 + B.size() + 3; ++cut) {
        if (!sweep_takes(cut))
            continue;
        SetUp();
        upload_run run = request(B, body);
        run.pieces = {body.substr(0, cut), body.substr(cut)};
        ASSERT_EQ(upload(run).out, response_for(0)) << "cut at " << cut;
        expect_replaced_by(content);
    }
}

TEST_F(Hostile, ContentOfNothingButLineEnds)
{
    std::string content;
    while (content.size() < (1u << 20))
        content += CRLF;
    for (size_t piece : {size_t(4096), size_t(4097), size_t(1) << 20}) {
        SetUp();
        upload_run run = request(B, file_body(B, content));
        run.pieces = pieces_of(run.pieces[0], piece);
        EXPECT_EQ(upload(run).out, response_for(0)) << piece;
        expect_replaced_by(content);
    }
}

TEST_F(Hostile, NearMissDelimitersAreKeptAsContent)
{
    const std::string d = "--" + B;
    std::string content;
    for (size_t k = 0; k < d.size(); ++k)
        content += CRLF + d.substr(0, k) + (k % 2 ? "\r" : "x");
    content += CRLF + d.substr(0, d.size() - 1) + "!" + d + CRLF + "-";
    upload_run run = request(B, file_body(B, content));
    run.pieces = pieces_of(run.pieces[0], 37);
    EXPECT_EQ(upload(run).out, response_for(0));
    expect_replaced_by(content);
}

TEST_F(Hostile, BoundariesFromZeroToTheLongestAKernelPasses)
{
    // The last: "CONTENT_TYPE=multipart/form-data;boundary=" (42 bytes), the
    // boundary and the NUL make exactly MAX_ARG_STRLEN, 131072 bytes.
    for (size_t length : {0, 1, 70, 10000, 131029}) {
        SetUp();
        const std::string boundary = boundary_of(length);
        const std::string content = "cert for a boundary of " + std::to_string(length) + CRLF + "-";
        upload_run run = request(boundary, file_body(boundary, content));
        run.env[0].second = "multipart/form-data;boundary=" + boundary;
        EXPECT_EQ(upload(run).out, response_for(0)) << length;
        expect_replaced_by(content);
    }
}

TEST_F(Hostile, HeaderLinesOfOneMebibyte)
{
    const std::string mib(1 << 20, 'x');
    const std::string d = "--" + B;
    struct {
        const char *name;
        std::string headers;
    } cases[] = {
        {"a long value before the disposition", "X-Padding: " + mib + CRLF + DISPOSITION + CRLF},
        {"a long name before the disposition", "X-" + std::string(1 << 20, 'P') + ": y" + CRLF + DISPOSITION + CRLF},
        {"a long file name in the disposition", "Content-Disposition: form-data; name=\"filedata\"; filename=\"" +
                                                    mib + "\"" + CRLF},
    };
    for (const auto &c : cases) {
        SetUp();
        const std::string body = d + CRLF + c.headers + CRLF + "k" + CRLF + d + "--" + CRLF;
        EXPECT_EQ(upload(request(B, body)).out, response_for(0)) << c.name;
        expect_replaced_by("k");
    }
}

TEST_F(Hostile, HundredThousandTinyPartsBeforeTheFilePart)
{
    // (a short boundary keeps the body within the program's 8 MiB)
    const std::string b = "b";
    const std::string d = "--" + b;
    for (const std::string &tiny : {d + CRLF + CRLF + "x" + CRLF,
                                    d + CRLF + "Content-Disposition: form-data; name=\"sessionid\"" + CRLF + CRLF +
                                        "s" + CRLF}) {
        SetUp();
        std::string body;
        body.reserve(tiny.size() * 100000 + 1000);
        for (int i = 0; i < 100000; ++i)
            body += tiny;
        body += form_part(b, "filedata", "after the flood") + d + "--" + CRLF;
        EXPECT_EQ(upload(request(b, body)).out, response_for(0));
        expect_replaced_by("after the flood");
    }
}

TEST_F(Hostile, BodiesThatBreakTheGrammarGetNoAnswer)
{
    const std::string d = "--" + B;
    const std::string complete = file_body(B, "content");
    const std::string bodies[] = {
        // a folded continuation line: its blank is not a header-name byte
        d + CRLF + "Content-Disposition: form-data;" + CRLF + " name=\"filedata\"" + CRLF + CRLF + "x" + CRLF + d + "--",
        d + CRLF + "Content-Disposition: form-data;" + CRLF + "\tname=\"filedata\"" + CRLF + CRLF + "x" + CRLF + d + "--",
        d + CRLF + DISPOSITION + CRLF + " folded: y" + CRLF + CRLF + "x" + CRLF + d + "--",
        // the file part never ends: no closing delimiter, or not even its line end
        complete.substr(0, complete.rfind(CRLF + d)),
        complete.substr(0, complete.rfind(CRLF + d) + 1),
        complete.substr(0, complete.rfind(CRLF + d) + 2 + d.size() - 1),
        // a body that is only a closing delimiter
        d + "--" + CRLF,
    };
    for (const std::string &body : bodies) {
        SetUp();
        EXPECT_EQ(upload(request(B, body)).out, "") << body.substr(0, 120);
        expect_target_untouched();
    }
}

TEST_F(Hostile, BodyFarLongerThanItsContentLength)
{
    const std::string body = file_body(B, "the declared part");
    const std::string flood(4 << 20, 'z');
    upload_run run = request(B, body);
    run.pieces = {body + flood};
    run.hold_stdin_open = true;
    upload_outcome o = upload(run);
    EXPECT_EQ(o.out, response_for(0));
    expect_replaced_by("the declared part");
    EXPECT_GT(o.unread, 0u) << "read past CONTENT_LENGTH";

    // a length that ends inside the file part: no answer, and nothing more is read
    SetUp();
    run = request(B, body);
    const size_t declared = body.find("the declared") + 3;
    run.env[1].second = std::to_string(declared);
    run.pieces = {body + flood};
    run.hold_stdin_open = true;
    o = upload(run);
    EXPECT_EQ(o.out, "");
    expect_target_untouched();
    EXPECT_GT(o.unread, 0u) << "read past CONTENT_LENGTH";
}

TEST_F(Hostile, ContentLengthInEveryOddForm)
{
    const std::string body = file_body(B, "x");
    const std::string ok = response_for(0);
    const std::string too_large = response_for(-7001);
    struct {
        std::string length;
        std::string answer;
    } cases[] = {
        // white space and signs, as the C library reads them
        {"8388608   ", ok},
        {"   ", ok},
        {" \t\n\v\f\r8388609", too_large},
        {"+", ok},
        {"-", ok},
        {"+-1", ok},
        {"--1", ok},
        {"- 1", ok},
        {"0x800001", ok},   // decimal only: stops at the x
        {"-8388608", too_large},
        // leading zeros: plain digits also cap what is read
        {"00000000000000000000000008388609", too_large},
        {std::string("0000").append(std::to_string(body.size())), ok},
        {"0", ""},
        {"000", ""},
        {std::string(99, '0').append("1"), ""},
        // 2^32 and beyond saturate, whatever the sign
        {"4294967295", too_large},
        {"4294967297", too_large},
        {"18446744073709551615", too_large},
        {"18446744073709551616", too_large},
        {"-18446744073709551615", too_large},
        {std::string("1").append(99, '0'), too_large},
        {std::string(100, '9'), too_large},
        {std::string("-").append(100, '9'), too_large},
    };
    for (const auto &c : cases) {
        SetUp();
        upload_run run = request(B, body);
        run.env[1].second = c.length;
        // a refusal must come without reading; everything else must not hang
        run.hold_stdin_open = c.answer != ok;
        upload_outcome o = upload(run);
        EXPECT_EQ(o.out, c.answer) << "CONTENT_LENGTH=\"" << c.length << "\"";
        if (c.answer == too_large) {
            EXPECT_EQ(o.unread, body.size()) << "CONTENT_LENGTH=\"" << c.length << "\"";
        }
        if (c.answer == ok)
            expect_replaced_by("x");
        else
            expect_target_untouched();
    }
}
