// SPDX-License-Identifier: MIT
#include "pem_body.h"

size_t pem_body_decode(pem_body &body, const char *at, size_t count, unsigned char *out, uint32_t room)
{
    size_t i = 0;
    for (; i < count; ++i) {
        const unsigned c = static_cast<unsigned char>(at[i]);
        unsigned v = 0;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            if (body.digits < 2)
                break;
            ++body.padding;
        } else if (body.padding) {
            break;
        } else if (c - 'A' < 26) {
            v = c - 'A';
        } else if (c - 'a' < 26) {
            v = c - 'a' + 26;
        } else if (c - '0' < 10) {
            v = c - '0' + 52;
        } else if (c == '+' || c == '/') {
            v = c == '+' ? 62 : 63;
        } else {
            break;
        }
        body.bits = body.bits << 6 | v;
        if (++body.digits < 4)
            continue;
        body.digits = 0;
        // Each '=' stands for a byte less.
        for (unsigned k = 0; k < 3u - body.padding; ++k, ++body.size)
            if (body.size < room)
                out[body.size] = static_cast<unsigned char>(body.bits >> (16 - 8 * k));
    }
    return i;
}
