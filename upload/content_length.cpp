// SPDX-License-Identifier: MIT
#include "upload.h"

static bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// strtoul in base 10 on a 32-bit device: white space and one sign may lead,
// digits stop at the first other byte, no digits read as 0, a minus negates
// modulo 2^32, and a magnitude past 32 bits saturates whatever the sign.
uint32_t content_length_value(const char *text)
{
    while (is_space(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    uint64_t magnitude = 0;
    for (; is_digit(*text); ++text) {
        magnitude = magnitude * 10 + static_cast<unsigned>(*text - '0');
        if (magnitude > UINT32_MAX)
            return UINT32_MAX;
    }
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

bool content_length_is_plain(const char *text)
{
    if (!is_digit(*text))
        return false;
    while (is_digit(*text))
        ++text;
    return *text == '\0';
}
