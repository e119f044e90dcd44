// SPDX-License-Identifier: MIT
// A PEM body's base64, decoded as it streams in pieces of any size, with no
// table: a pure function over a buffer and its length, and its state.
#ifndef PEM_BODY_H
#define PEM_BODY_H

#include <stddef.h>
#include <stdint.h>

struct pem_body {
    uint32_t size;           // bytes decoded, kept or not
    uint32_t bits;           // six a character, of the quantum under way
    unsigned char digits;    // characters of that quantum, 0 to 3
    unsigned char padding;   // '=' taken, which ends the body
};

// Decodes the base64 text of `count` bytes at `at`, keeping the body's first
// `room` bytes in `out` and counting the rest. Line ends and blanks (space,
// tab, CR) are passed over, as OpenSSL passes over them. Stops before a byte
// it does not take: one outside the alphabet, '=' in a quantum's first two
// places, any character after the padding. Answers the bytes taken. The body
// is whole when no quantum is under way (`digits` 0); a zeroed state starts one.
size_t pem_body_decode(pem_body &body, const char *at, size_t count, unsigned char *out, uint32_t room);

#endif
