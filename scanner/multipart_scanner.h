// SPDX-License-Identifier: MIT
// Streaming scanner for multipart bodies: reports header names, header
// values and part content as pieces that point into the caller's chunk, and
// part boundaries as notices, through a table of callbacks. It never copies
// content and allocates only once, in scanner_create, or never when the
// caller places it in memory of its own with scanner_init.
#ifndef MULTIPART_SCANNER_H
#define MULTIPART_SCANNER_H

#include <stddef.h>

struct multipart_scanner;

typedef int (*scanner_data_cb)(multipart_scanner *, const char *at, size_t length);
typedef int (*scanner_notify_cb)(multipart_scanner *);

// Any slot may be null; a null slot acts like a callback returning 0.
// A nonzero result stops the scan at the byte being processed.
struct scanner_callbacks {
    scanner_data_cb emit_header_name;
    scanner_data_cb emit_header_value;
    scanner_data_cb emit_part_bytes;
    scanner_notify_cb notify_part_start;
    scanner_notify_cb notify_headers_end;
    scanner_notify_cb notify_part_finish;
    scanner_notify_cb notify_body_finish;
};

enum scan_state : unsigned char {
    SCAN_START = 2,
    SCAN_FIRST_DELIMITER,
    SCAN_HEADER_NAME_START,
    SCAN_HEADER_NAME,
    SCAN_HEADERS_END_LF,
    SCAN_HEADER_VALUE_START,
    SCAN_HEADER_VALUE,
    SCAN_HEADER_VALUE_LF,
    SCAN_BODY_START,
    SCAN_BODY,
    SCAN_BODY_CR,
    SCAN_DELIMITER,
    SCAN_AFTER_DELIMITER,
    SCAN_AFTER_DELIMITER_LF,
    SCAN_CLOSING_HYPHEN,
    SCAN_DONE,
};

struct multipart_scanner {
    void *user_data;
    size_t match_index;
    size_t delimiter_length;
    unsigned char state;
    const scanner_callbacks *callbacks;
    char *held_bytes;   // CR, LF and the delimiter bytes matched so far
    char delimiter[];   // the scanner's own copy; held_bytes follows its NUL
};

// delimiter: "--" and the boundary, NUL-terminated; the caller may release it
// at once. The table is not copied and must outlive the scanner. Returns null
// when the allocation fails or the delimiter is empty.
multipart_scanner *scanner_create(const char *delimiter, const scanner_callbacks *callbacks);

// Bytes a scanner needs for a delimiter of delimiter_length bytes: the
// record, the delimiter and its NUL, then the held bytes (CR, LF and up to
// delimiter_length delimiter bytes) with one byte to spare. Wraps for
// lengths no memory could hold; scanner_init refuses those.
constexpr size_t scanner_size(size_t delimiter_length)
{
    return sizeof(multipart_scanner) + 2 * delimiter_length + 4;
}

// scanner_create on caller memory of size bytes, aligned for
// multipart_scanner, which must outlive the scanner; nothing to destroy.
// Returns null when the delimiter is empty or the memory too small for it.
multipart_scanner *scanner_init(void *memory, size_t size, const char *delimiter,
                                const scanner_callbacks *callbacks);

// How many bytes of a chunk scanner_feed consumed.
typedef size_t scan_result;

// Returns the number of bytes consumed: length when the whole chunk was
// scanned, else the index of the byte that broke the grammar or during which
// a callback asked to stop. A scanner that stopped is not fed again.
scan_result scanner_feed(multipart_scanner *scanner, const char *chunk, size_t length);

void scanner_destroy(multipart_scanner *scanner);
void scanner_set_user_data(multipart_scanner *scanner, void *data);
void *scanner_get_user_data(const multipart_scanner *scanner);

#endif
