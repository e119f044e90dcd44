// SPDX-License-Identifier: MIT
#include <string.h>
#include <unistd.h>

#include "upload.h"

// The closing dashes are part of each ending, so that one comparison takes
// the end of the line. Each prefix is led by its length (in octal), and
// the empty one, which every list has, ends the list.
//
// DER is told by the tags of its first levels: a certificate's TBS starts
// with its [0] version, or, in version 1, with the serial, then the
// algorithm, issuer and validity SEQUENCEs; a request has attributes [0]
// where the validity would be. Public keys, encrypted PKCS#8 (which the
// client does not decrypt from DER) and PKCS#7 start otherwise.
const slot_rule certificate_slot = {
    "CERTIFICATE-----", "\10TRUSTED \5X509 ",
    // A key must never be stored where a certificate belongs, whatever else
    // the file holds: any block that ends in PRIVATE KEY.
    "PRIVATE KEY-----",
    "\3\x30\x30\xa0" "\6\x30\x30\x02\x30\x30\x30",
};
// A certificate beside the key makes a combined file, which the client
// reads. DER keys start with a version: PKCS#1 (RSA and DSA, whose public
// forms have fewer INTEGERs), SEC1 with its OCTET STRING, and PKCS#8 and
// PKCS#12 with a SEQUENCE.
static const char KEY_PREFIXES[] = "\12ENCRYPTED \4RSA \3EC \4DSA ";
const slot_rule key_slot = {
    "PRIVATE KEY-----", KEY_PREFIXES,
    nullptr,
    "\5\x30\x02\x02\x02\x02" "\3\x30\x02\x04" "\3\x30\x02\x30",
};

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
    for (size_t i = 0; i < count && seen + i < CONTENT_HEAD; ++i)
        judge.head[seen + i] = static_cast<unsigned char>(at[i]);
    judge.size = seen + static_cast<uint32_t>(count);
    const char *end = at + count;
    for (const char *p = at; p < end;) {
        if (judge.length == 0) {
            const char *dash = static_cast<const char *>(memchr(p, '-', static_cast<size_t>(end - p)));
            if (!dash)
                break;
            p = dash + 1;
            // A byte-order mark, as some editors save, starts the first line.
            if (dash > at ? dash[-1] != '\n' : judge.mid_line) {
                if (seen + (dash - at) != 3 || memcmp(judge.head, "\xef\xbb\xbf-", 4) != 0)
                    continue;
            }
            p = dash;
        }
        char c = *p++;
        if (c == '\n') {
            judge_line(judge);
            judge.length = 0;
        } else if (judge.length < CONTENT_LINE) {
            judge.line[judge.length++] = c;
        } else if (static_cast<unsigned char>(c) > ' ') {
            judge.length = 0;   // longer than any label we take; blanks after one are no matter
        }
    }
    if (count > 0)
        judge.mid_line = end[-1] != '\n';
}

// The DER walk: the outer SEQUENCE and its first element, when that is a
// SEQUENCE, are entered, and every other element is passed over, so that
// the tags met are the first element's, then its siblings'. The file fits
// when they start as one of the slot's and a definite outer length is all
// there; what follows the first object is not the client's concern. The
// client reads BER's indefinite length too: the walk takes it as empty and
// goes on inside. The walk ends where the head kept ends, or at a length
// of more than three bytes (16 MiB), leaving the tags not met as zero,
// which no slot takes.
static bool der_fits(const content_judge &judge)
{
    const unsigned char *h = judge.head;
    const uint32_t kept = judge.size < CONTENT_HEAD ? judge.size : uint32_t{CONTENT_HEAD};
    unsigned char tags[6] = {};
    uint32_t at = 0;
    for (unsigned count = 0; count < sizeof tags && at + 2 <= kept; ++count) {
        const unsigned char tag = h[at];
        const unsigned form = h[at + 1];
        uint32_t length = form;
        at += 2;
        if (form & 0x80) {
            const unsigned bytes = form & 0x7f;
            if (bytes > 3 || at + bytes > kept)
                break;
            length = 0;
            for (unsigned i = 0; i < bytes; ++i)
                length = length << 8 | h[at++];
        }
        tags[count] = tag;
        if (count == 0 && form != 0x80 && judge.size < at + length)
            return false;
        if (count > 1 || tag != 0x30)
            at += length;
    }
    for (const char *p = upload_profile.rule->der; *p; p += *p + 1)
        if (memcmp(p + 1, tags, static_cast<size_t>(*p)) == 0)
            return true;
    return false;
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
