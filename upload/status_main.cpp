// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "file_identity.h"
#include "key_facts.h"
#include "status.h"
#include "upload.h"
#if UPLOAD_CLIENT_RELOAD
#include "client_ctrl.h"
#endif
#if UPLOAD_SESSION_CHECK
#include "session_check.h"
#endif

// Enough of a certificate slot for the page to describe it (a bundle's
// first certificates), and of a key slot for any key with certificates
// before it. Nothing of a key but its form and public half is ever written.
enum { HEAD = 64 * 1024, MTIME_KNOWN = 0x40 };
static unsigned char head[HEAD];
static unsigned char scratch[HEAD / 4 * 3 + 3];

static char out[4096];
static size_t used;

static void flush_out()
{
    for (size_t done = 0; done < used;) {
        ssize_t written = write(1, out + done, used - done);
        if (written <= 0)
            break;
        done += static_cast<size_t>(written);
    }
    used = 0;
}

[[gnu::noinline]] static void put(char c)
{
    if (used == sizeof out)
        flush_out();
    out[used++] = c;
}

[[gnu::noinline]] static void put_text(const char *text)
{
    while (*text)
        put(*text++);
}

static void put_number(uint32_t value)
{
    char digits[10];
    int n = 0;
    do {
        // value / 10 as a multiplication, which -Oz would make a call.
        uint32_t tenth = static_cast<uint32_t>(uint64_t{value} * 0xcccccccdu >> 35);
        digits[n++] = static_cast<char>('0' + value - tenth * 10);
        value = tenth;
    } while (value);
    while (n)
        put(digits[--n]);
}

static void put_field(const char *name)
{
    put_text(",\"");
    put_text(name);
    put_text("\":");
}

static const char DIGITS[] = "0123456789abcdef";

// Hex: twice the bytes of base64 on the wire, a fraction of its code.
static void put_hex(const char *name, byte_span value)
{
    if (!value.at)
        return;
    put_field(name);
    put('"');
    for (uint32_t i = 0; i < value.length; ++i) {
        put(DIGITS[value.at[i] >> 4]);
        put(DIGITS[value.at[i] & 15]);
    }
    put('"');
}

// The client's own words, which may name a network in any bytes: quotes,
// backslashes and controls escaped, bytes beyond ASCII replaced.
static void put_string(const char *text)
{
    put('"');
    for (; *text; ++text) {
        unsigned char c = static_cast<unsigned char>(*text);
        if (c == '"' || c == '\\') {
            put('\\');
            put(static_cast<char>(c));
        } else if (c == '\n') {
            put_text("\\n");
        } else {
            put(c < ' ' || c > '~' ? '?' : static_cast<char>(c));
        }
    }
    put('"');
}

// Whole reads up to the buffer's end; what was read.
static uint32_t read_head(int fd)
{
    uint32_t got = 0;
    while (got < HEAD) {
        ssize_t n = read(fd, head + got, HEAD - got);
        if (n <= 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    return got;
}

// Only a regular file is opened, and without waiting: a FIFO or a device
// in a slot is told as such and never read.
static void put_slot(const status_slot &slot, const char *dir)
{
    char path[512];
    size_t dir_length = strlen(dir), file_length = strlen(slot.file);
    if (dir_length + file_length + 2 > sizeof path)
        return;
    memcpy(path, dir, dir_length);
    path[dir_length] = '/';
    memcpy(path + dir_length + 1, slot.file, file_length + 1);

    put_text("{\"file\":\"");
    put_text(slot.file);
    put('"');
    file_status st;
    st.mask = 0;   // the older calls leave it, and the time, unknown
    put_field("present");
    if (!status_at(path, st, true)) {
        put_text(errno == ENOENT ? "false}" : "true,\"error\":\"unreadable\"}");
        return;
    }
    put_text("true");
    int fd = -1;
    if ((st.mode & 0170000) != 0100000) {
        put_text(",\"error\":\"not a file\"");
    } else {
        put_field("size");
        put_number(st.size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(st.size));
        if (st.mask & MTIME_KNOWN) {
            put_field("mtime");
            put_number(static_cast<uint32_t>(st.times[6]));
        }
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        file_status held;
        if (fd < 0 || !status_of(fd, held) || (held.mode & 0170000) != 0100000)
            put_text(",\"error\":\"unreadable\"");
        else if (uint32_t length = read_head(fd); !slot.key) {
            put_hex("head", {head, length});
        } else {
            key_facts k = key_facts_of(head, length, scratch);
            if (k.form) {
                put_field("form");
                put_string(k.form);
            }
            put_field("encrypted");
            put_text(k.encrypted ? "true" : "false");
            put_hex("modulus", k.modulus);
            put_hex("exponent", k.exponent);
            put_hex("point", k.point);
            put_hex("curve", k.curve);
        }
    }
    if (fd >= 0)
        close(fd);
    put('}');
}

// A refusal, worded as the upload programs word theirs.
static int refuse(const char *status, const char *code)
{
    put_text(status);
    put_text("Content-Type: application/json\r\n\r\n{ \"errcode\": ");
    put_text(code);
    put_text(" }\r\n\r\n");
    flush_out();
    return 0;
}

int status_main(const status_slot *slots, size_t count, const char *dir)
{
    if (!origin_allowed())
        return refuse("Status: 403 Forbidden\r\n", "-7005");
    const char *method = getenv("REQUEST_METHOD");
    if (!method || strcmp(method, "GET") != 0)
        return refuse("Status: 405 Method Not Allowed\r\nAllow: GET\r\n", "-7008");
#if UPLOAD_SESSION_CHECK
    // The page names its session in the query, as in an upload's form.
    const char *session = getenv("QUERY_STRING");
    size_t session_length = 0;
    while (session && *session && strncmp(session, "sessionid=", 10) != 0) {
        session = strchr(session, '&');
        session = session ? session + 1 : nullptr;
    }
    if (session && *session) {
        session += 10;
        session_length = strcspn(session, "&");
    }
    if (!session_allowed(session, session_length))
        return refuse("Status: 403 Forbidden\r\n", "-7007");
#endif

    put_text("Status: 200 OK\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n\r\n{\"slots\":[");
    for (size_t i = 0; i < count; ++i) {
        if (i)
            put(',');
        put_slot(slots[i], dir);
    }
    put(']');
    put_field("client");
#if UPLOAD_CLIENT_RELOAD
    static char answer[4096];
    put_string(client_request("STATUS", answer, sizeof answer) < 0 ? "no answer" : answer);
#else
    put_string("not configured");
#endif
    put_text("}\n");
    flush_out();
    return 0;
}
