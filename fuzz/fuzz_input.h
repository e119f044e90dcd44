// SPDX-License-Identifier: MIT
// Takes a fuzzer's input apart into the values a target needs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>

struct fuzz_input {
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    uint8_t byte() { return at < size ? data[at++] : 0; }

    std::string bytes(size_t n)
    {
        n = std::min(n, size - at);
        std::string out(reinterpret_cast<const char *>(data + at), n);
        at += n;
        return out;
    }

    // Up to the next NUL, which is skipped.
    std::string text()
    {
        size_t end = at;
        while (end < size && data[end] != 0)
            ++end;
        std::string out = bytes(end - at);
        at = std::min(size, at + 1);
        return out;
    }

    std::string rest() { return bytes(size - at); }
};
