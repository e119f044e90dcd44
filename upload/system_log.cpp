// SPDX-License-Identifier: MIT
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "upload.h"

// Every replacement of a key, and every refusal, leaves one line in the
// system log. The datagram is framed as the C library's syslog frames it
// (RFC 3164); writing it here keeps stdio out of the device programs.

enum { AUTHPRIV = 10 << 3, WARNING = 4, NOTICE = 5 };
enum { VALUE_CAP = 64 };   // a request's value, at most, in the line

static char line[512];
static size_t line_length;

// Kept out of line: called from many places, inlined it would be copied
// into each.
[[gnu::noinline]] static void put(char c)
{
    if (line_length < sizeof line)   // a target path of any length still fits
        line[line_length++] = c;
}

[[gnu::noinline]] static void put_text(const char *text)
{
    while (*text)
        put(*text++);
}

// Decimal, zero-padded to at least `width` digits.
static void put_number(uint32_t value, int width)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value || n < width);
    while (n)
        put(digits[--n]);
}

// From the request, so that no value can end the line early, start a new
// one or pass for another field: every control byte and space turns into
// '?', and a long value is cut.
static void put_request_value(const char *label, const char *name)
{
    put_text(label);
    const char *value = getenv(name);
    if (!value || !*value)
        value = "-";
    for (int n = 0; *value && n < VALUE_CAP; ++n, ++value) {
        unsigned char c = static_cast<unsigned char>(*value);
        put(c <= ' ' || c == 0x7f ? '?' : static_cast<char>(c));
    }
}

// The device keeps its clock in UTC, and the C library's time-zone code
// would outweigh the rest of the line; the stamp is UTC, "Mmm dd hh:mm:ss".
// Walking the years is shorter code than a civil-date formula, and at most
// 136 of them fit in 32 bits.
static void put_time(uint32_t now)
{
    static const char MONTHS[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    static const unsigned char LENGTHS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    uint32_t days = now / 86400;
    bool leap;
    for (unsigned year = 1970;; ++year) {
        leap = year % 4 == 0 && year != 2100;
        unsigned length = leap ? 366 : 365;
        if (days < length)
            break;
        days -= length;
    }
    unsigned month = 0;
    for (;; ++month) {
        unsigned length = LENGTHS[month] + (month == 1 && leap);
        if (days < length)
            break;
        days -= length;
    }
    for (int i = 0; i < 3; ++i)
        put(MONTHS[3 * month + i]);
    put(' ');
    if (days < 9)
        put(' ');
    put_number(days + 1, 1);
    // Constant divisors only: a division by a variable would link the
    // compiler's division routine, which armv7-a lacks in hardware.
    uint32_t seconds = now % 86400;
    put(' ');
    put_number(seconds / 3600, 2);
    put(':');
    put_number(seconds / 60 % 60, 2);
    put(':');
    put_number(seconds % 60, 2);
}

void log_answer()
{
    if (!upload_state.answered)
        return;
    const int code = upload_state.answer;
    line_length = 0;
    put('<');
    put_number(AUTHPRIV | (code == 0 ? NOTICE : WARNING), 1);
    put('>');
    // clock_gettime is in the program already, time() would come on top.
    // Unsigned 32 bits last until 2106 and spare the device a 64-bit division.
    // A clock refused (a sandbox's EPERM) leaves the time unset: the epoch.
    timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        now.tv_sec = 0;
    put_time(static_cast<uint32_t>(now.tv_sec));
    put(' ');
    put_text(upload_profile.name);
    put('[');
    put_number(static_cast<uint32_t>(getpid()), 1);
    put_text("]: target=");
    put_text(upload_profile.path);
    put_text(" errcode=");
    if (code < 0)
        put('-');
    put_number(code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code), 1);
    put_text(" bytes=");
    // A failed copy may have written part of the file; nothing is stored.
    put_number(code == 0 ? upload_state.stored_bytes : 0, 1);
    put_request_value(" user=", "REMOTE_USER");
    put_request_value(" addr=", "REMOTE_ADDR");
#if UPLOAD_CLIENT_RELOAD
    if (upload_state.reload) {
        put_text(" reload=");
        put_text(upload_state.reload);
    }
#endif
    put('\n');

    // Sent once and never waited for: a busy or missing log must not hold
    // up or change the answer, which has already gone.
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // Only as long as the path: a whole sockaddr_un is mostly zeros.
    static const struct {
        sa_family_t family;
        char path[sizeof "/dev/log"];
    } LOG = {AF_UNIX, "/dev/log"};
    sendto(fd, line, line_length, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&LOG),
           sizeof LOG);
    close(fd);
}
