// SPDX-License-Identifier: MIT
// The scanner's plain walk, one byte at a time with none of the skips that
// scanner_feed takes inside content and header values. Built from the same
// source as scanner_feed (library multipart_scanner_plain), so that tests
// and benchmarks can hold the two side by side; the programs never use it.
#ifndef SCANNER_PLAIN_H
#define SCANNER_PLAIN_H

#include "multipart_scanner.h"

scan_result scanner_feed_plain(multipart_scanner *scanner, const char *chunk, size_t length);

#endif
