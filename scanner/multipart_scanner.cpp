// SPDX-License-Identifier: MIT
#include "multipart_scanner.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>


// With no delimiter bytes to match, the walk through a candidate delimiter
// would never end and would run past the held bytes.
static bool delimiter_fits(size_t length)
{
    return length > 0 && length <= (SIZE_MAX - sizeof(multipart_scanner)) / 2 - 4;
}

multipart_scanner *scanner_init(void *memory, size_t size, const char *delimiter,
                                const scanner_callbacks *callbacks)
{
    size_t length = strlen(delimiter);
    if (!delimiter_fits(length) || size < scanner_size(length))
        return nullptr;
    multipart_scanner *s = static_cast<multipart_scanner *>(memory);
    s->user_data = nullptr;
    s->match_index = 0;
    s->delimiter_length = length;
    s->state = SCAN_START;
    s->callbacks = callbacks;
    memcpy(s->delimiter, delimiter, length + 1);
    s->held_bytes = s->delimiter + length + 1;
    return s;
}

multipart_scanner *scanner_create(const char *delimiter, const scanner_callbacks *callbacks)
{
    size_t length = strlen(delimiter);
    if (!delimiter_fits(length))
        return nullptr;
    size_t size = scanner_size(length);
    void *memory = malloc(size);
    if (!memory)
        return nullptr;
    return scanner_init(memory, size, delimiter, callbacks);
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
