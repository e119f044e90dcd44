// SPDX-License-Identifier: MIT
// Fuzz target for the multipart scanner alone.
//
// Input layout (short inputs are padded with zero bytes):
//   byte 0       stop rule: low 3 bits choose the notice that answers nonzero
//                (1 part start, 2 headers end, 3 part finish, 4 body finish,
//                else none), the high 5 bits which occurrence of it
//   byte 1       delimiter length L, then L delimiter bytes (a NUL ends it
//                early, as it would for any C caller)
//   next byte    count S of chunk lengths, then S bytes, each a chunk length
//                (0 feeds an empty chunk); the schedule repeats
//   the rest     the body
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "multipart_scanner.h"
#include "fuzz_input.h"
#include "scanner_oracle.h"

namespace {

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size};
    uint8_t rule_byte = in.byte();
    static const char kinds[8] = {0, 'S', 'H', 'F', 'B', 0, 0, 0};
    oracle::stop_rule rule{kinds[rule_byte & 7], static_cast<unsigned>(rule_byte >> 3)};
    std::string delimiter = in.bytes(in.byte());
    std::vector<size_t> schedule;
    for (std::string lengths = in.bytes(in.byte()); unsigned char c : lengths)
        schedule.push_back(c);
    std::string body = in.bytes(size);

    if (delimiter.c_str()[0] == '\0') {
        // No delimiter bytes to match: the scanner must refuse to exist.
        static const scanner_callbacks none = {};
        if (multipart_scanner *s = scanner_create(delimiter.c_str(), &none)) {
            fprintf(stderr, "scanner_create accepted an empty delimiter\n");
            scanner_destroy(s);
            abort();
        }
        return 0;
    }

    std::string failure = oracle::compare_schedules(delimiter, body, schedule, rule);
    if (!failure.empty()) {
        fprintf(stderr, "scanner oracle: %s\n", failure.c_str());
        abort();
    }
    return 0;
}
