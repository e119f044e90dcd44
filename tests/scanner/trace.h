// SPDX-License-Identifier: MIT
// Records every scanner event as text so that whole traces compare at once.
#pragma once

#include <string>
#include <vector>

#include "multipart_scanner.h"

struct trace_recorder {
    std::vector<std::string> events;
    int stop_at_event = -1;   // the callback making this event returns nonzero
    bool held_piece = false;  // some content piece pointed outside the chunk
    const char *chunk = nullptr;
    size_t chunk_length = 0;
};

// Events: "S" part start, "N:" name piece, "V:" value piece, "B:" content
// piece, "H" headers end, "F" part finish, "E" body finish.
const scanner_callbacks *recording_callbacks();

struct feed_result {
    std::vector<std::string> events;
    size_t consumed;   // absolute index where the scan stopped, or the length
    bool held_piece;
};

// Feeds body in chunks cut at the given ascending positions.
feed_result feed_split(const std::string &delimiter, const std::string &body,
                       const std::vector<size_t> &cuts, int stop_at_event = -1);
feed_result feed_whole(const std::string &delimiter, const std::string &body, int stop_at_event = -1);

// Joins adjacent pieces of one kind and drops empty ones: what stays the
// same however the body is cut.
std::vector<std::string> merged(const std::vector<std::string> &events);
