// SPDX-License-Identifier: MIT
#include <string.h>
#include <unistd.h>

#include "upload.h"

// The closing dashes are part of each ending, so that one comparison takes
// the end of the line. Each prefix is led by its length (in octal), and
// the empty one, which every list has, ends the list.
const slot_rule certificate_slot = {
    "CERTIFICATE-----", "\10TRUSTED \5X509 ",
    // A key must never be stored where a certificate belongs, whatever else
    // the file holds: any block that ends in PRIVATE KEY.
    "PRIVATE KEY-----",
};
// A certificate beside the key makes a combined file, which the client reads.
const slot_rule key_slot = {"PRIVATE KEY-----", "\12ENCRYPTED \4RSA \3EC \4DSA ", nullptr};

static const char BEGIN[] = "-----BEGIN ";
enum { BEGIN_LENGTH = sizeof BEGIN - 1, ENDING = 16 };

static void judge_line(content_judge &judge)
{
    size_t n = judge.length;
    // The line end and any blanks before it.
    while (n > 0 && static_cast<unsigned char>(judge.line[n - 1]) <= ' ')
        --n;
    if (n < BEGIN_LENGTH + ENDING || memcmp(judge.line, BEGIN, BEGIN_LENGTH) != 0)
        return;
    const slot_rule &rule = *upload_profile.rule;
    const char *ending = judge.line + n - ENDING;
    if (rule.refuse && memcmp(ending, rule.refuse, ENDING) == 0)
        judge.refused = true;
    if (memcmp(ending, rule.take, ENDING) != 0)
        return;
    const size_t prefix = n - BEGIN_LENGTH - ENDING;
    for (const char *p = rule.prefixes;; p += *p + 1) {
        if (static_cast<size_t>(*p) == prefix && memcmp(p + 1, judge.line + BEGIN_LENGTH, prefix) == 0)
            judge.taken = true;
        if (*p == 0)
            return;
    }
}

// PEM text is found by its dashes: a base64 body has none, so the search
// passes over it at memchr's pace, and a line is kept only when it starts
// with one.
void content_feed(const char *at, size_t count)
{
    content_judge &judge = upload_state.judge;
    const uint32_t seen = judge.size;
    for (size_t i = 0; i < count && seen + i < sizeof judge.head; ++i)
        judge.head[seen + i] = static_cast<unsigned char>(at[i]);
    judge.size = seen + static_cast<uint32_t>(count);
    const char *end = at + count;
    for (const char *p = at; p < end;) {
        if (judge.length == 0) {
            const char *dash = static_cast<const char *>(memchr(p, '-', static_cast<size_t>(end - p)));
            if (!dash)
                break;
            p = dash + 1;
            if (dash > at ? dash[-1] != '\n' : judge.mid_line)
                continue;
            p = dash;
        }
        char c = *p++;
        if (c == '\n') {
            judge_line(judge);
            judge.length = 0;
        } else if (judge.length < CONTENT_LINE) {
            judge.line[judge.length++] = c;
        } else {
            judge.length = 0;   // longer than any label we take
        }
    }
    if (count > 0)
        judge.mid_line = end[-1] != '\n';
}

// One SEQUENCE whose definite length, short or long form, ends exactly at
// the end of the file: DER certificates, keys and PKCS#12 bundles.
static bool der_fits(const content_judge &judge)
{
    const unsigned char *h = judge.head;
    uint32_t length = h[1];
    unsigned header = 2;
    if (length & 0x80) {
        // No indefinite form (0x80), and no more than four length bytes.
        unsigned bytes = length & 0x7f;
        if (bytes - 1u > 3u)
            return false;
        header += bytes;
        memcpy(&length, h + 2, 4);
        length = __builtin_bswap32(length) >> (32 - 8 * bytes);
    }
    // A sum that wraps is below the header, so below any size that holds it.
    return h[0] == 0x30 && judge.size == header + length;
}

int content_part_finish(multipart_scanner *scanner)
{
    const content_judge &judge = upload_state.judge;
    // Only the file part brings data, and it ends the request.
    if (upload_state.have_file_data && (judge.refused || !(judge.taken || der_fits(judge)))) {
        close(upload_state.temp_fd);
        return send_result(ERR_WRONG_KIND);
    }
    return upload_part_finish(scanner);
}
