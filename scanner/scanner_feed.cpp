// SPDX-License-Identifier: MIT
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "multipart_scanner.h"

#ifdef SCANNER_PLAIN_WALK
#include "scanner_plain.h"
#define scanner_feed scanner_feed_plain
#endif

static const char CR = '\r';
static const char LF = '\n';

static inline int emit(scanner_data_cb cb, multipart_scanner *s, const char *at, size_t count)
{
    return cb ? cb(s, at, count) : 0;
}

static inline int notify(scanner_notify_cb cb, multipart_scanner *s)
{
    return cb ? cb(s) : 0;
}

static inline bool is_letter(char c)
{
    return static_cast<unsigned char>((c | 0x20) - 'a') < 26;
}

#ifndef SCANNER_PLAIN_WALK
// Helpers of the shortcuts in scanner_feed, a machine word at a time.
typedef unsigned long word;
static const word ONES = ~word(0) / 255;
static const word HIGHS = ONES << 7;

static inline word load_word(const char *at)
{
    word w;
    memcpy(&w, at, sizeof w);
    return w;
}

// Index of the first byte, in memory order, with a bit set in `marks`.
static inline size_t first_marked(word marks)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return static_cast<size_t>(__builtin_ctzl(marks)) / 8;
#else
    return static_cast<size_t>(__builtin_clzl(marks)) / 8;
#endif
}

// Index of the first CR in [i, n - 1), else n - 1: inside content and header
// values a byte other than CR does nothing unless it is the chunk's last.
// Short runs are searched inline, 16 bytes at a time with SSE2 or else a word
// at a time (the lowest flagged byte is always a true CR); the rest of a
// long run is handed to memchr.
static inline size_t next_cr_or_last(const char *chunk, size_t i, size_t n)
{
    const size_t last = n - 1;
    // Where CRs come close together, a byte compare and a branch that the
    // processor guesses right beat waiting for the search's result.
    if (chunk[i] == CR || i == last)
        return i;
    const size_t inline_end = last - i > 128 ? i + 128 : last;
#ifdef __SSE2__
    const __m128i crs = _mm_set1_epi8(CR);
    for (; inline_end - i >= 16; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(chunk + i));
        const unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, crs)));
        if (found)
            return i + static_cast<size_t>(__builtin_ctz(found));
    }
#endif
    for (; inline_end - i >= sizeof(word); i += sizeof(word)) {
        const word w = load_word(chunk + i) ^ (ONES * CR);
        const word crs = (w - ONES) & ~w & HIGHS;
        if (crs)
            return i + first_marked(crs);
    }
    for (; i < inline_end; ++i)
        if (chunk[i] == CR)
            return i;
    if (i == last)
        return last;
    const void *cr = memchr(chunk + i, CR, last - i);
    return cr ? static_cast<size_t>(static_cast<const char *>(cr) - chunk) : last;
}

// Copies the bytes of `from` that agree with `delimiter`, at most limit of
// them, to `to` and returns how many: the held bytes of a candidate
// delimiter. Whole blocks are stored before they are compared, so `to` may
// receive up to limit bytes.
static inline size_t hold_matching(char *to, const char *from, const char *delimiter, size_t limit)
{
    size_t j = 0;
#ifdef __SSE2__
    for (; limit - j >= 16; j += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + j));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to + j), bytes);
        const __m128i expected = _mm_loadu_si128(reinterpret_cast<const __m128i *>(delimiter + j));
        const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, expected)));
        if (same != 0xffff)
            return j + static_cast<size_t>(__builtin_ctz(~same));
    }
#endif
    for (; limit - j >= sizeof(word); j += sizeof(word)) {
        const word w = load_word(from + j);
        memcpy(to + j, &w, sizeof w);
        const word differ = w ^ load_word(delimiter + j);
        if (differ)
            return j + first_marked(differ);
    }
    for (; j < limit && from[j] == delimiter[j]; ++j)
        to[j] = from[j];
    return j;
}
#endif

// One pass, one byte at a time. `mark` is where the pending name, value or
// content piece began in this chunk; pending bytes are emitted at the chunk's
// last byte so that only held_bytes outlives the call. A stop returns the
// index of the byte being processed, which counts as not consumed.
//
// The state and the match index live in locals during the walk (callbacks
// never see them) and are stored back whenever the walk returns.
scan_result scanner_feed(multipart_scanner *s, const char *chunk, size_t n)
{
    const scanner_callbacks *cb = s->callbacks;
    const size_t L = s->delimiter_length;
    const char *delimiter = s->delimiter;
    char *held = s->held_bytes;
    unsigned char state = s->state;
    size_t k = s->match_index;
    size_t mark = 0;
    size_t i = 0;

    auto stop = [&] {
        s->state = state;
        s->match_index = k;
        return i;
    };

    for (; i < n; ++i) {
#ifndef SCANNER_PLAIN_WALK
        // Shortcuts through content and header values, where nearly all bytes
        // are. Each gives exactly the pieces and stops of the plain walk below
        // and leaves i at a byte for it to take as usual.
        if (state == SCAN_HEADER_VALUE) {
            i = next_cr_or_last(chunk, i, n);
        } else if (state == SCAN_BODY) {
            // A CR followed by a byte other than LF and CR, or CR LF and part of
            // the delimiter cut short by a byte other than CR, is content: the
            // plain walk would emit the piece before the CR, then the held
            // bytes, and go on in content.
            for (;;) {
                i = next_cr_or_last(chunk, i, n);
                if (chunk[i] != CR || n - i < 4)
                    break;
                const char next = chunk[i + 1];
                if (next == LF) {
                    // the byte that ends the match must not be the chunk's last
                    const size_t limit = n - i - 3 < L ? n - i - 3 : L;
                    const size_t matched =
                        chunk[i + 2] == delimiter[0] ? hold_matching(held + 2, chunk + i + 2, delimiter, limit) : 0;
                    if (matched == limit || chunk[i + 2 + matched] == CR)
                        break;
                    if (emit(cb->emit_part_bytes, s, chunk + mark, i - mark))
                        return stop();
                    held[0] = CR;
                    held[1] = LF;
                    k = matched;
                    i += 2 + matched;
                    if (emit(cb->emit_part_bytes, s, held, matched + 2)) {
                        state = SCAN_DELIMITER;
                        return stop();
                    }
                } else if (next != CR) {
                    if (emit(cb->emit_part_bytes, s, chunk + mark, i - mark))
                        return stop();
                    held[0] = CR;
                    i += 1;
                    if (emit(cb->emit_part_bytes, s, held, 1)) {
                        state = SCAN_BODY_CR;
                        return stop();
                    }
                } else {
                    break;
                }
                mark = i;
                ++i;
            }
        } else if (state == SCAN_DELIMITER) {
            // Blank lines: CR LF after the held CR LF makes the held pair
            // content, an empty piece before the new CR, and the new pair held.
            if (k == 0 && delimiter[0] != CR) {
                while (n - i >= 2 && chunk[i] == CR && chunk[i + 1] == LF) {
                    if (emit(cb->emit_part_bytes, s, held, 2))
                        return stop();
                    if (emit(cb->emit_part_bytes, s, chunk + i, 0)) {
                        state = SCAN_BODY;
                        return stop();
                    }
                    i += 2;
                }
            }
            // The delimiter bytes but its last need nothing but holding.
            if (i < n && chunk[i] == delimiter[k]) {
                const size_t room = L - 1 - k;
                const size_t matched = hold_matching(held + 2 + k, chunk + i, delimiter + k, n - i < room ? n - i : room);
                k += matched;
                i += matched;
            }
            if (i == n)
                break;
        }
#endif
        const char c = chunk[i];
        const bool last = i + 1 == n;
    again:
        switch (state) {
        case SCAN_START:
            k = 0;
            state = SCAN_FIRST_DELIMITER;
            [[fallthrough]];
        case SCAN_FIRST_DELIMITER:
            if (k < L) {
                if (c != delimiter[k])
                    return stop();
                ++k;
            } else if (k == L) {
                if (c != CR)
                    return stop();
                ++k;
            } else {
                if (c != LF)
                    return stop();
                k = 0;
                if (notify(cb->notify_part_start, s))
                    return stop();
                state = SCAN_HEADER_NAME_START;
            }
            break;

        case SCAN_HEADER_NAME_START:
            mark = i;
            state = SCAN_HEADER_NAME;
            [[fallthrough]];
        case SCAN_HEADER_NAME:
            if (c == CR) {
                // a line with no colon ends the header block; its name is dropped
                state = SCAN_HEADERS_END_LF;
                break;
            }
            if (c == ':') {
                if (emit(cb->emit_header_name, s, chunk + mark, i - mark))
                    return stop();
                state = SCAN_HEADER_VALUE_START;
                break;
            }
            if (c != '-' && !is_letter(c))
                return stop();
            if (last && emit(cb->emit_header_name, s, chunk + mark, i - mark + 1))
                return stop();
            break;

        case SCAN_HEADERS_END_LF:
            if (c != LF)
                return stop();
            state = SCAN_BODY_START;
            break;

        case SCAN_HEADER_VALUE_START:
            if (c == ' ')
                break;
            mark = i;
            state = SCAN_HEADER_VALUE;
            [[fallthrough]];
        case SCAN_HEADER_VALUE:
            if (c == CR) {
                if (emit(cb->emit_header_value, s, chunk + mark, i - mark))
                    return stop();
                state = SCAN_HEADER_VALUE_LF;
                break;
            }
            if (last && emit(cb->emit_header_value, s, chunk + mark, i - mark + 1))
                return stop();
            break;

        case SCAN_HEADER_VALUE_LF:
            if (c != LF)
                return stop();
            state = SCAN_HEADER_NAME_START;
            break;

        case SCAN_BODY_START:
            if (notify(cb->notify_headers_end, s))
                return stop();
            mark = i;
            state = SCAN_BODY;
            [[fallthrough]];
        case SCAN_BODY:
            if (c == CR) {
                if (emit(cb->emit_part_bytes, s, chunk + mark, i - mark))
                    return stop();
                state = SCAN_BODY_CR;
                held[0] = CR;
                mark = i;
                break;
            }
            if (last && emit(cb->emit_part_bytes, s, chunk + mark, i - mark + 1))
                return stop();
            break;

        case SCAN_BODY_CR:
            if (c == LF) {
                state = SCAN_DELIMITER;
                held[1] = LF;
                k = 0;
                break;
            }
            // the CR did not start a delimiter: it is content after all
            if (emit(cb->emit_part_bytes, s, held, 1))
                return stop();
            state = SCAN_BODY;
            mark = i;
            goto again;

        case SCAN_DELIMITER:
            if (k < L && c == delimiter[k]) {
                held[k + 2] = c;
                ++k;
                if (k == L) {
                    if (notify(cb->notify_part_finish, s))
                        return stop();
                    state = SCAN_AFTER_DELIMITER;
                }
                break;
            }
            // a near miss: CR, LF and the bytes matched so far are content
            if (emit(cb->emit_part_bytes, s, held, k + 2))
                return stop();
            state = SCAN_BODY;
            mark = i;
            goto again;

        case SCAN_AFTER_DELIMITER:
            if (c == '-')
                state = SCAN_CLOSING_HYPHEN;
            else if (c == CR)
                state = SCAN_AFTER_DELIMITER_LF;
            else
                return stop();
            break;

        case SCAN_AFTER_DELIMITER_LF:
            if (c != LF)
                return stop();
            state = SCAN_HEADER_NAME_START;
            if (notify(cb->notify_part_start, s))
                return stop();
            break;

        case SCAN_CLOSING_HYPHEN:
            if (c != '-')
                return stop();
            if (notify(cb->notify_body_finish, s))
                return stop();
            state = SCAN_DONE;
            break;

        case SCAN_DONE:
            i = n;
            return stop();

        default:
            return stop();
        }
    }
    return stop();
}
