// SPDX-License-Identifier: MIT
#include <string.h>
#include <unistd.h>

#include "upload.h"

// The shapes of DER the walk tells apart (der_shapes), each led by its
// length: how its tags start. A certificate's TBS starts with its [0]
// version, or, in version 1, with the serial, then the algorithm, issuer
// and validity SEQUENCEs; a request has attributes [0] where the validity
// would be. RSA's and DSA's private keys have nine and six INTEGERs, their
// public forms two and four. A zero ends an element entered.
static const char SHAPES[] =
    "\6\x30\x30\xa0\x02\x30\x30"       // 1: a certificate
    "\6\x30\x30\x02\x30\x30\x30"       // 2: of version 1
    "\7\x30\x02\x02\x02\x02\x02\x02"   // 4: PKCS#1, or DSA's own
    "\3\x30\x02\x04"                   // 8: SEC1
    "\4\x30\x02\x30\x04"               // 16: PKCS#8
    "\6\x30\x30\x06\x30\x00\x04"       // 32: PKCS#8 encrypted
    "\3\x30\x02\x30";                  // 64: PKCS#8 or PKCS#12
enum { CERTIFICATE = 1 | 2, KEY = 4 | 8 | 32 | 64 };

// PKCS#12 and keys as DER the client reads, but not encrypted PKCS#8, which
// it does not decrypt from DER. A key must never be stored where a
// certificate belongs, whatever else the file holds.
const slot_rule certificate_slot = {0, CERTIFICATE, KEY};
const slot_rule key_slot = {1, 4 | 8 | 64, 0};

// The labels the check knows, with their closing dashes, by a hash, so
// that no text of them is stored: a name of no block the client reads that
// hashes alike is taken for one, and its file judged by that label's rule.
static constexpr uint32_t hash(const char *text)
{
    uint32_t h = 0;
    while (*text)
        h = h * 33 + static_cast<unsigned char>(*text++);
    return h;
}
static const uint32_t LABELS[] = {
    hash("CERTIFICATE-----"),     hash("TRUSTED CERTIFICATE-----"), hash("X509 CERTIFICATE-----"),
    hash("PRIVATE KEY-----"),     hash("ENCRYPTED PRIVATE KEY-----"), hash("RSA PRIVATE KEY-----"),
    hash("EC PRIVATE KEY-----"),  hash("DSA PRIVATE KEY-----"),
};
// The shapes each one's body may hold, which tell its kind too. The client
// reads PKCS#8 under a traditional key's label too.
static const unsigned char LABEL_SHAPES[] = {CERTIFICATE, CERTIFICATE, CERTIFICATE, 16, 32, 4 | 16, 8 | 16, 4 | 16};
static const char BEGIN[] = "-----BEGIN ", END[] = "-----END ", KEY_ENDING[] = "PRIVATE KEY-----";
enum { BEGIN_LENGTH = sizeof BEGIN - 1, END_LENGTH = sizeof END - 1, KEY_LENGTH = sizeof KEY_ENDING - 1 };

// The DER walk: the outer element and its first child, when that is a
// SEQUENCE, are entered, every other element passed over; each within its
// parent, the outer one within the bytes there are. The client reads BER's
// indefinite length too: such an element lasts to its parent's end, and
// the end-of-contents mark reads as the zero that ends one entered. The
// walk ends where the head kept ends, or at a length of more than four
// bytes, leaving the tags not met as zero; what follows the outer element
// is not the client's concern.
static unsigned der_shapes(const unsigned char *h, uint32_t size)
{
    const uint32_t kept = size < CONTENT_HEAD ? size : uint32_t{CONTENT_HEAD};
    unsigned char tags[7] = {};
    uint32_t ends[3] = {size};
    unsigned depth = 0, count = 0;
    for (uint32_t at = 0; count < sizeof tags;) {
        if (depth && at == ends[depth]) {
            ++count;
            if (--depth == 0)
                break;
            continue;
        }
        if (at + 2 > kept)
            break;
        const unsigned tag = h[at], form = h[at + 1];
        uint32_t length = form;
        at += 2;
        if (form & 0x80) {
            unsigned bytes = form & 0x7f;
            if (bytes > 4 || at + bytes > kept)
                break;
            for (length = 0; bytes--;)
                length = length << 8 | h[at++];
            if (form == 0x80)
                length = ends[depth] - at;
        }
        if (at > ends[depth] || length > ends[depth] - at)
            return 0;
        tags[count++] = static_cast<unsigned char>(tag);
        if (count == 1 || (count == 2 && tag == 0x30))
            ends[++depth] = at + length;
        else
            at += length;
    }
    unsigned shapes = 0;
    const char *p = SHAPES;
    for (unsigned bit = 1; bit < 128; bit <<= 1, p += *p + 1)
        if (memcmp(p + 1, tags, static_cast<size_t>(*p)) == 0)
            shapes |= bit;
    return shapes;
}

// A BEGIN line opens a block of a label the check knows; inside one, only
// its own END line may start with a dash, and ends it: the body decoded
// whole and, where the label decides the slot, holding the label's shape
// (not for a body encrypted under headers, which the client decrypts).
static void judge_line(content_judge &judge)
{
    const slot_rule &rule = *upload_profile.rule;
    size_t n = judge.length;
    // The line end and any blanks before it.
    while (n > 0 && static_cast<unsigned char>(judge.line[n - 1]) <= ' ')
        --n;
    const char *text = judge.line;
    const size_t skip = memcmp(text, BEGIN, BEGIN_LENGTH) == 0 ? BEGIN_LENGTH
                        : memcmp(text, END, END_LENGTH) == 0   ? END_LENGTH
                                                               : 0;
    unsigned label = 0, shapes = 0;
    if (skip) {
        // A key of any label in a certificate slot.
        if (skip == BEGIN_LENGTH && rule.kind == 0 && n >= skip + KEY_LENGTH &&
            memcmp(text + n - KEY_LENGTH, KEY_ENDING, KEY_LENGTH) == 0)
            judge.refused = true;
        uint32_t h = 0;
        for (size_t i = skip; i < n; ++i)
            h = h * 33 + static_cast<unsigned char>(text[i]);
        for (unsigned place = 0; place < sizeof LABEL_SHAPES; ++place)
            if (h == LABELS[place]) {
                label = place + 1;
                shapes = LABEL_SHAPES[place];
            }
    }
    content_block &block = judge.block;
    if (block.label) {
        const pem_body &body = block.body;
        // Headers with no blank line after them leave nothing decoded.
        if (skip != END_LENGTH || label != block.label || body.digits || body.size == 0)
            judge.refused = true;
        else if ((block.shapes & CERTIFICATE ? 0 : 1) == rule.kind) {
            if (block.header != 3 && !(der_shapes(judge.decoded, body.size) & block.shapes))
                judge.refused = true;
            judge.taken = true;
        }
        block = {};
    } else if (skip == BEGIN_LENGTH && label) {
        block.label = static_cast<unsigned char>(label);
        block.shapes = static_cast<unsigned char>(shapes);
    }
}

// Body text up to a line's end, or a piece's. OpenSSL takes a body's first
// lines for headers (Proc-Type, DEK-Info) up to a blank line; any other
// blank line, or a line of headers after the data, refuses it.
static void body_text(content_judge &judge, const char *p, size_t n)
{
    content_block &block = judge.block;
    bool text = block.text;
    for (size_t i = 0; i < n; ++i)
        text |= static_cast<unsigned char>(p[i]) > ' ';
    if (block.header != 1 && pem_body_decode(block.body, p, n, judge.decoded, CONTENT_HEAD) < n) {
        if (block.header || block.data) {
            judge.refused = true;
            return;
        }
        block.header = 1;
        block.body = {};
    }
    block.text = text;
    if (p[n - 1] != '\n')
        return;
    if (!text) {
        if (block.header != 1 && (block.header || block.data))
            judge.refused = true;
        block.header = block.header == 1 ? 3 : 2;
    }
    block.data |= text;
    block.text = false;
}

// The last four bytes before `to`, of those from `from` on and `bytes`
// before them.
static uint32_t bytes_before(const char *from, const char *to, uint32_t bytes)
{
    for (const char *q = to - from > 4 ? to - 4 : from; q < to; ++q)
        bytes = bytes << 8 | static_cast<unsigned char>(*q);
    return bytes;
}

// PEM text outside a block is found by its dashes, the search passing over
// all else at memchr's pace, and a line is kept only when it starts with
// one. A block's body is decoded as it comes, in the bounds of `decoded`.
// In a key slot the first key block decides; a file refused is read no
// further.
void content_feed(const char *at, size_t count)
{
    content_judge &judge = upload_state.judge;
    const uint32_t seen = judge.size;
    const uint32_t recent = seen ? judge.recent : '\n';   // a file starts as a line does
    if (seen < CONTENT_HEAD)
        memcpy(judge.head + seen, at, count < CONTENT_HEAD - seen ? count : CONTENT_HEAD - seen);
    judge.size = seen + static_cast<uint32_t>(count);
    const char *end = at + count;
    judge.recent = bytes_before(at, end, recent);
    for (const char *p = at; p < end && !judge.refused && !(judge.taken && upload_profile.rule->kind);) {
        if (judge.length == 0) {
            if (judge.block.label) {
                if (*p != '-' || (bytes_before(at, p, recent) & 0xff) != '\n') {
                    const char *line_end = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
                    const char *stop = line_end ? line_end + 1 : end;
                    body_text(judge, p, static_cast<size_t>(stop - p));
                    p = stop;
                    continue;
                }
            } else {
                const char *dash = static_cast<const char *>(memchr(p, '-', static_cast<size_t>(end - p)));
                if (!dash)
                    break;
                const uint32_t before = bytes_before(at, dash, recent);
                p = dash + 1;
                // A byte-order mark, as some editors save, may start a line
                // before a block, as OpenSSL takes it.
                if ((before & 0xff) != '\n' && before != 0x0aefbbbf)
                    continue;
                p = dash;
            }
        }
        const char c = *p++;
        if (c == '\n') {
            judge_line(judge);
            judge.length = 0;
        } else if (judge.length < CONTENT_LINE) {
            judge.line[judge.length++] = c;
        } else if (static_cast<unsigned char>(c) > ' ') {
            // Longer than any label we take; blanks after one are no matter.
            // In a body it is no END line.
            judge.length = 0;
            judge.refused |= judge.block.label != 0;
        }
    }
}

int content_part_finish(multipart_scanner *scanner)
{
    const content_judge &judge = upload_state.judge;
    const slot_rule &rule = *upload_profile.rule;
    const unsigned shapes = der_shapes(judge.head, judge.size);
    // Only the file part brings data, and it ends the request. A block
    // without its END line is refused too.
    if (upload_state.have_file_data &&
        (judge.refused || judge.block.label || (shapes & rule.refuse) || !(judge.taken || (shapes & rule.der)))) {
        close(upload_state.temp_fd);
        return send_result(ERR_WRONG_KIND);
    }
    return upload_part_finish(scanner);
}
