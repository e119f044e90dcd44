#include "multipart_scanner.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>


multipart_scanner *scanner_create(const char *delimiter, const scanner_callbacks *callbacks)
{
    size_t length = strlen(delimiter);
    // With no delimiter bytes to match, the walk through a candidate
    // delimiter would never end and would run past the held bytes.
    if (length == 0 || length > (SIZE_MAX - sizeof(multipart_scanner)) / 2 - 4)
        return nullptr;
    // One block: the record, the delimiter and its NUL, then the held bytes
    // (CR, LF and up to L delimiter bytes) with one byte to spare.
    multipart_scanner *s = static_cast<multipart_scanner *>(
        malloc(sizeof(multipart_scanner) + 2 * length + 4));
    if (!s)
        return nullptr;
    s->user_data = nullptr;
    s->match_index = 0;
    s->delimiter_length = length;
    s->state = SCAN_START;
    s->callbacks = callbacks;
    memcpy(s->delimiter, delimiter, length + 1);
    s->held_bytes = s->delimiter + length + 1;
    return s;
}

void scanner_destroy(multipart_scanner *scanner)
{
    free(scanner);
}

void scanner_set_user_data(multipart_scanner *scanner, void *data)
{
    scanner->user_data = data;
}

void *scanner_get_user_data(const multipart_scanner *scanner)
{
    return scanner->user_data;
}
