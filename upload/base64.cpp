// SPDX-License-Identifier: MIT
#include "key_facts.h"

// A PEM body: lines of base64 that a blank, '=' or the END line ends.
size_t base64_decode(const unsigned char *text, const unsigned char *end, unsigned char *out)
{
    unsigned char *o = out;
    uint32_t bits = 0;
    unsigned count = 0;
    for (; text < end; ++text) {
        unsigned c = *text, v;
        if (c - 'A' < 26)
            v = c - 'A';
        else if (c - 'a' < 26)
            v = c - 'a' + 26;
        else if (c - '0' < 10)
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c <= ' ')
            continue;
        else
            break;
        bits = bits << 6 | v;
        if (++count == 4) {
            *o++ = static_cast<unsigned char>(bits >> 16);
            *o++ = static_cast<unsigned char>(bits >> 8);
            *o++ = static_cast<unsigned char>(bits);
            count = 0;
        }
    }
    // The last group's whole bytes, before its '=' padding.
    if (count >= 2) {
        bits <<= 6 * (4 - count);
        *o++ = static_cast<unsigned char>(bits >> 16);
        if (count == 3)
            *o++ = static_cast<unsigned char>(bits >> 8);
    }
    return static_cast<size_t>(o - out);
}
