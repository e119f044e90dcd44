#include "multipart_scanner.h"

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

// One pass, one byte at a time. `mark` is where the pending name, value or
// content piece began in this chunk; pending bytes are emitted at the chunk's
// last byte so that only held_bytes outlives the call. A stop returns the
// index of the byte being processed, which counts as not consumed.
scan_result scanner_feed(multipart_scanner *s, const char *chunk, size_t n)
{
    const scanner_callbacks *cb = s->callbacks;
    const size_t L = s->delimiter_length;
    char *held = s->held_bytes;
    size_t mark = 0;

    for (size_t i = 0; i < n; ++i) {
        const char c = chunk[i];
        const bool last = i + 1 == n;
        size_t k;
    again:
        k = s->match_index;
        switch (s->state) {
        case SCAN_START:
            s->match_index = k = 0;
            s->state = SCAN_FIRST_DELIMITER;
            [[fallthrough]];
        case SCAN_FIRST_DELIMITER:
            if (k < L) {
                if (c != s->delimiter[k])
                    return i;
                s->match_index = k + 1;
            } else if (k == L) {
                if (c != CR)
                    return i;
                s->match_index = k + 1;
            } else {
                if (c != LF)
                    return i;
                s->match_index = 0;
                if (notify(cb->notify_part_start, s))
                    return i;
                s->state = SCAN_HEADER_NAME_START;
            }
            break;

        case SCAN_HEADER_NAME_START:
            mark = i;
            s->state = SCAN_HEADER_NAME;
            [[fallthrough]];
        case SCAN_HEADER_NAME:
            if (c == CR) {
                // a line with no colon ends the header block; its name is dropped
                s->state = SCAN_HEADERS_END_LF;
                break;
            }
            if (c == ':') {
                if (emit(cb->emit_header_name, s, chunk + mark, i - mark))
                    return i;
                s->state = SCAN_HEADER_VALUE_START;
                break;
            }
            if (c != '-' && !is_letter(c))
                return i;
            if (last && emit(cb->emit_header_name, s, chunk + mark, i - mark + 1))
                return i;
            break;

        case SCAN_HEADERS_END_LF:
            if (c != LF)
                return i;
            s->state = SCAN_BODY_START;
            break;

        case SCAN_HEADER_VALUE_START:
            if (c == ' ')
                break;
            mark = i;
            s->state = SCAN_HEADER_VALUE;
            [[fallthrough]];
        case SCAN_HEADER_VALUE:
            if (c == CR) {
                if (emit(cb->emit_header_value, s, chunk + mark, i - mark))
                    return i;
                s->state = SCAN_HEADER_VALUE_LF;
                break;
            }
            if (last && emit(cb->emit_header_value, s, chunk + mark, i - mark + 1))
                return i;
            break;

        case SCAN_HEADER_VALUE_LF:
            if (c != LF)
                return i;
            s->state = SCAN_HEADER_NAME_START;
            break;

        case SCAN_BODY_START:
            if (notify(cb->notify_headers_end, s))
                return i;
            mark = i;
            s->state = SCAN_BODY;
            [[fallthrough]];
        case SCAN_BODY:
            if (c == CR) {
                if (emit(cb->emit_part_bytes, s, chunk + mark, i - mark))
                    return i;
                s->state = SCAN_BODY_CR;
                held[0] = CR;
                mark = i;
                break;
            }
            if (last && emit(cb->emit_part_bytes, s, chunk + mark, i - mark + 1))
                return i;
            break;

        case SCAN_BODY_CR:
            if (c == LF) {
                s->state = SCAN_DELIMITER;
                held[1] = LF;
                s->match_index = 0;
                break;
            }
            // the CR did not start a delimiter: it is content after all
            if (emit(cb->emit_part_bytes, s, held, 1))
                return i;
            s->state = SCAN_BODY;
            mark = i;
            goto again;

        case SCAN_DELIMITER:
            if (k < L && c == s->delimiter[k]) {
                held[k + 2] = c;
                s->match_index = k + 1;
                if (k + 1 == L) {
                    if (notify(cb->notify_part_finish, s))
                        return i;
                    s->state = SCAN_AFTER_DELIMITER;
                }
                break;
            }
            // a near miss: CR, LF and the bytes matched so far are content
            if (emit(cb->emit_part_bytes, s, held, k + 2))
                return i;
            s->state = SCAN_BODY;
            mark = i;
            goto again;

        case SCAN_AFTER_DELIMITER:
            if (c == '-')
                s->state = SCAN_CLOSING_HYPHEN;
            else if (c == CR)
                s->state = SCAN_AFTER_DELIMITER_LF;
            else
                return i;
            break;

        case SCAN_AFTER_DELIMITER_LF:
            if (c != LF)
                return i;
            s->state = SCAN_HEADER_NAME_START;
            if (notify(cb->notify_part_start, s))
                return i;
            break;

        case SCAN_CLOSING_HYPHEN:
            if (c != '-')
                return i;
            if (notify(cb->notify_body_finish, s))
                return i;
            s->state = SCAN_DONE;
            break;

        case SCAN_DONE:
            return n;

        default:
            return i;
        }
    }
    return n;
}
