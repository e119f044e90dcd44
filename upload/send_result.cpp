// SPDX-License-Identifier: MIT
#include <string.h>
#include <unistd.h>

#include "upload.h"

// One response at most per process; it leaves when upload_main returns, after
// the body has been drained, as a buffered stdout would have it.
static char response[128];
static size_t response_length;

static void append(const char *text, size_t length)
{
    memcpy(response + response_length, text, length);
    response_length += length;
}

static void append_text(const char *text)
{
    append(text, strlen(text));
}

static void append_int(int value)
{
    char digits[12];
    char *p = digits + sizeof digits;
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--p = '-';
    append(p, static_cast<size_t>(digits + sizeof digits - p));
}

// A failed commit cleans up before it answers: the answer needs only its code.
int send_result(int code)
{
    if (response_length == 0) {
        upload_state.answered = true;
        upload_state.answer = code;
#if UPLOAD_SESSION_CHECK
        const bool forbidden = code == ERR_CROSS_ORIGIN || code == ERR_SESSION;
#else
        const bool forbidden = code == ERR_CROSS_ORIGIN;
#endif
        append_text(forbidden ? "Status: 403 Forbidden\r\n" : "Status: 200 OK\r\n");
        append_text("Content-Type: application/json\r\n"
                    "\r\n"
                    "{ \"errcode\": ");
        append_int(code);
        append_text(" }\r\n");
        append_text("\r\n");
    }
    return -1;
}

void flush_response()
{
    const char *p = response;
    size_t left = response_length;
    while (left > 0) {
        ssize_t written = write(1, p, left);
        if (written <= 0)
            break;
        p += written;
        left -= static_cast<size_t>(written);
    }
    response_length = 0;
}
