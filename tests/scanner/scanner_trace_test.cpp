// SPDX-License-Identifier: MIT
// The scanner's events for whole bodies, for the same bodies cut every way,
// and where it stops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace.h"

using events = std::vector<std::string>;

static const std::string D = "--XyZ";

static std::string part(const std::string &headers, const std::string &content)
{
    return D + "\r\n" + headers + "\r\n" + content + "\r\n";
}

struct trace_case {
    const char *what;
    std::string body;
    events expected;
};

static const std::vector<trace_case> &trace_cases()
{
    static const std::vector<trace_case> cases = {
        {"one part",
         part("Content-Disposition: form-data; name=\"a\"\r\nContent-Type: text/plain\r\n", "hello") +
             D + "--\r\n",
         {"S", "N:Content-Disposition", "V:form-data; name=\"a\"", "N:Content-Type", "V:text/plain",
          "H", "B:hello", "F", "E"}},
        {"empty content is one empty piece", part("A: b\r\n", "") + D + "--",
         {"S", "N:A", "V:b", "H", "B:", "F", "E"}},
        {"a lone CR is handed over as a piece of its own", part("A: b\r\n", "a\rb") + D + "--",
         {"S", "N:A", "V:b", "H", "B:a", "B:\r", "B:b", "F", "E"}},
        {"a near-miss delimiter is content", part("A: b\r\n", "a\r\n--Xyq") + D + "--",
         {"S", "N:A", "V:b", "H", "B:a", "B:\r\n--Xy", "B:q", "F", "E"}},
        {"a near miss ended by CR leaves an empty piece", part("A: b\r\n", "a\r\n--X") + D + "--",
         {"S", "N:A", "V:b", "H", "B:a", "B:\r\n--X", "B:", "F", "E"}},
        {"CR LF CR LF before the delimiter", part("A: b\r\n", "\r\n\r\n") + D + "--",
         {"S", "N:A", "V:b", "H", "B:", "B:\r\n", "B:", "B:\r\n", "B:", "F", "E"}},
        {"value of spaces only is empty; tabs stay", part("A:   \r\nB:\t x\r\n", "q") + D + "--",
         {"S", "N:A", "V:", "N:B", "V:\t x", "H", "B:q", "F", "E"}},
        {"a bare LF is value text", part("A: b\nC: d\r\n", "q") + D + "--",
         {"S", "N:A", "V:b\nC: d", "H", "B:q", "F", "E"}},
        {"empty header name", part(": v\r\n", "q") + D + "--", {"S", "N:", "V:v", "H", "B:q", "F", "E"}},
        {"two parts and an epilogue",
         part("A: 1\r\n", "one") + part("A: 2\r\n", "two") + D + "--\r\nepilogue\r\n--XyZ\r\n",
         {"S", "N:A", "V:1", "H", "B:one", "F", "S", "N:A", "V:2", "H", "B:two", "F", "E"}},
        {"the part ends at the delimiter, before the scanner knows what follows",
         part("A: b\r\n", "xyz") + D, {"S", "N:A", "V:b", "H", "B:xyz", "F"}},
        {"input ending after the blank line gives no headers end", D + "\r\nA: b\r\n\r\n",
         {"S", "N:A", "V:b"}},
    };
    return cases;
}

TEST(ScannerTrace, WholeBodies)
{
    for (const trace_case &c : trace_cases()) {
        feed_result r = feed_whole(D, c.body);
        EXPECT_EQ(r.events, c.expected) << c.what;
        EXPECT_EQ(r.consumed, c.body.size()) << c.what;
    }
}

static void expect_same_for_cuts(const std::string &delimiter, const std::string &body, const std::vector<size_t> &cuts,
                                 const feed_result &whole, const char *what)
{
    feed_result r = feed_split(delimiter, body, cuts);
    ASSERT_EQ(merged(r.events), merged(whole.events)) << what << " cut at " << ::testing::PrintToString(cuts);
    ASSERT_EQ(r.consumed, whole.consumed) << what << " cut at " << ::testing::PrintToString(cuts);
}

TEST(ScannerTrace, EveryTwoAndThreeWaySplitGivesTheSameEvents)
{
    for (const trace_case &c : trace_cases()) {
        feed_result whole = feed_whole(D, c.body);
        const size_t n = c.body.size();
        for (size_t a = 1; a < n; ++a) {
            expect_same_for_cuts(D, c.body, {a}, whole, c.what);
            for (size_t b = a + 1; b < n; ++b)
                expect_same_for_cuts(D, c.body, {a, b}, whole, c.what);
        }
        std::vector<size_t> every;
        for (size_t i = 1; i < n; ++i)
            every.push_back(i);
        expect_same_for_cuts(D, c.body, every, whole, c.what);
    }
}

TEST(ScannerTrace, SplitsStopAtTheSameByte)
{
    const std::string bodies[] = {
        D + "\r\nA1: b\r\n",                   // digit in a header name
        part("A: b\r\n", "q") + D + " \r\n",   // white space after a delimiter
        part("A: b\r\n", "q") + D + "-x",      // one hyphen only
        D + "\r\nA: b\r\r",                    // CR not followed by LF
    };
    for (const std::string &body : bodies) {
        feed_result whole = feed_whole(D, body);
        ASSERT_LT(whole.consumed, body.size());
        // pending name bytes may be emitted at a cut, but the stop is the same
        for (size_t a = 1; a < body.size(); ++a)
            EXPECT_EQ(feed_split(D, body, {a}).consumed, whole.consumed) << body << " cut at " << a;
    }
}

TEST(ScannerTrace, PendingBytesAreEmittedAtEveryChunkEnd)
{
    std::string body = part("Content-Type: text/plain\r\n", "abc\rdef") + D + "--";
    // cut inside the name, inside the value, after a content CR, and after
    // CR LF and part of the delimiter
    size_t in_name = body.find("Type");
    size_t in_value = body.find("plain");
    size_t after_cr = body.find("\rdef") + 1;
    feed_result r = feed_split(D, body, {in_name, in_value, after_cr});
    events expected = {"S", "N:Content-", "N:Type", "V:text/", "V:plain", "H", "B:abc", "B:\r", "B:def", "F", "E"};
    EXPECT_EQ(r.events, expected);

    std::string near = part("A: b\r\n", "x\r\n--Xyq") + D + "--";
    size_t before_q = near.find('q');
    r = feed_split(D, near, {before_q});
    expected = {"S", "N:A", "V:b", "H", "B:x", "B:\r\n--Xy", "B:q", "F", "E"};
    EXPECT_EQ(r.events, expected);
    EXPECT_TRUE(r.held_piece) << "CR LF and the partial delimiter came from the held bytes";

    // a name cut right before its colon ends with an empty piece
    std::string colon = part("Content-Disposition: x\r\n", "q") + D;
    r = feed_split(D, colon, {colon.find(':')});
    EXPECT_EQ(r.events[1], "N:Content-Disposition");
    EXPECT_EQ(r.events[2], "N:");
}

struct stop_case {
    const char *what;
    std::string body;
    size_t stop;
};

TEST(ScannerStops, GrammarErrorsStopAtTheOffendingByte)
{
    const size_t L = D.size();
    const std::string good = D + "\r\nA: b\r\n\r\nq" + "\r\n" + D;
    const std::vector<stop_case> cases = {
        {"preamble", "x" + good, 0},
        {"space after the first delimiter", D + " \r\n", L},
        {"bare LF after the first delimiter", D + "\n", L},
        {"a body of only the closing delimiter", D + "--\r\n", L},
        {"CR without LF after the first delimiter", D + "\rx", L + 1},
        {"departing inside the first delimiter", "--Xyq", 4},
        {"digit in a header name", D + "\r\nA1: b\r\n", L + 3},
        {"underscore in a header name", D + "\r\nA_b: c\r\n", L + 3},
        {"space in a colon-less header line", D + "\r\nAb c\r\n", L + 4},
        {"folded header line", D + "\r\nA: b\r\n c\r\n", L + 8},
        {"CR without LF after a value", D + "\r\nA: b\rx", L + 7},
        {"CR without LF ending the headers", D + "\r\nA: b\r\n\rx", L + 9},
        {"white space after a delimiter", good + " ", good.size()},
        {"a single hyphen after a delimiter", good + "-x", good.size() + 1},
        {"CR without LF after a delimiter", good + "\rx", good.size() + 1},
    };
    for (const stop_case &c : cases)
        EXPECT_EQ(feed_whole(D, c.body).consumed, c.stop) << c.what;
}

TEST(ScannerStops, ColonLessHeaderLineEndsTheHeaderBlock)
{
    feed_result r = feed_whole(D, D + "\r\nAbc-Def\r\nxyz\r\n" + D + "--");
    events expected = {"S", "H", "B:xyz", "F", "E"};
    EXPECT_EQ(r.events, expected);
}

TEST(ScannerStops, CallbackResultStopsAtTheByteBeingProcessed)
{
    //                  0....5 6  7 8 9 10 11 12 13 14 15 16 17 ... 22  24
    const std::string body = D + "\r\nA: b\r\n\r\nq\r\n" + D + "--";
    // S at the LF of the first line, N at the colon, V at the CR, H at the
    // first content byte, B at the CR, F at the delimiter's last byte, E at
    // the second hyphen.
    const size_t stops[] = {6, 8, 11, 15, 16, 22, 24};
    for (int event = 0; event < 7; ++event) {
        feed_result r = feed_whole(D, body, event);
        EXPECT_EQ(r.consumed, stops[event]) << "event " << event;
        EXPECT_EQ(r.events.size(), static_cast<size_t>(event) + 1);
    }
}

TEST(ScannerLibrary, EmptySlotsActLikeCallbacksThatContinue)
{
    scanner_callbacks none = {};
    multipart_scanner *s = scanner_create("--b", &none);
    ASSERT_NE(s, nullptr);
    const std::string body = "--b\r\nA: x\r\n\r\ncontent\r\n--b--\r\n";
    EXPECT_EQ(scanner_feed(s, body.data(), body.size()), body.size());
    EXPECT_EQ(s->state, SCAN_DONE);
    int marker;
    EXPECT_EQ(scanner_get_user_data(s), nullptr);
    scanner_set_user_data(s, &marker);
    EXPECT_EQ(scanner_get_user_data(s), &marker);
    scanner_destroy(s);
}

TEST(ScannerLibrary, DelimiterIsCopiedAndHeldBytesFollowIt)
{
    std::string delimiter = "--boundary";
    multipart_scanner *s = scanner_create(delimiter.c_str(), recording_callbacks());
    ASSERT_NE(s, nullptr);
    delimiter.assign(delimiter.size(), '?');
    EXPECT_STREQ(s->delimiter, "--boundary");
    EXPECT_EQ(s->delimiter_length, 10u);
    EXPECT_EQ(s->held_bytes, s->delimiter + 11);
    EXPECT_EQ(s->state, SCAN_START);
    scanner_destroy(s);
}

TEST(ScannerLibrary, InitTakesOnlyMemoryThatHoldsTheDelimiter)
{
    alignas(multipart_scanner) static char memory[1024];
    const size_t longest = (sizeof memory - scanner_size(0)) / 2;
    const struct {
        std::string delimiter;
        size_t size;
        bool made;
    } cases[] = {
        {"--boundary", scanner_size(10), true},
        {"--boundary", scanner_size(10) - 1, false},
        {"-", scanner_size(1), true},
        {"", sizeof memory, false},
        {std::string(longest, 'x'), sizeof memory, true},
        {std::string(longest + 1, 'x'), sizeof memory, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.delimiter.size());
        multipart_scanner *s = scanner_init(memory, c.size, c.delimiter.c_str(), recording_callbacks());
        EXPECT_EQ(s != nullptr, c.made);
        if (s) {
            EXPECT_EQ(static_cast<void *>(s), static_cast<void *>(memory));
            EXPECT_EQ(s->delimiter, c.delimiter);
            // CR, LF, the whole delimiter and one byte to spare
            EXPECT_LE(s->held_bytes + c.delimiter.size() + 3, memory + c.size);
        }
    }
}
