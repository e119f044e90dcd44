// SPDX-License-Identifier: MIT
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "upload.h"
#if UPLOAD_CLIENT_RELOAD
#include "client_ctrl.h"
#endif

upload_request_state upload_state;

const scanner_callbacks upload_callbacks = {
    upload_header_name,
    upload_header_value,
    upload_part_bytes,
    nullptr,
    upload_headers_end,
#if UPLOAD_CONTENT_CHECK
    content_part_finish,
#else
    upload_part_finish,
#endif
    nullptr,
};

static const char CONTENT_TYPE_PREFIX[] = "multipart/form-data;";
enum { PREFIX_LENGTH = sizeof CONTENT_TYPE_PREFIX - 1 };

// CGI lets the host keep standard input open after the body, so with a plain
// CONTENT_LENGTH we never ask for more than it announced.
static uint64_t input_left;

static ssize_t read_body(char *buffer)
{
    size_t want = input_left < READ_CHUNK ? static_cast<size_t>(input_left) : READ_CHUNK;
    if (want == 0)
        return 0;
    ssize_t got = read(0, buffer, want);
    if (got > 0)
        input_left -= static_cast<size_t>(got);
    return got;
}

static void handle_request()
{
    upload_state.temp_fd = -1;
    upload_state.target_mode = 0600;

    // A forged post is refused before anything of it is looked at.
    if (!origin_allowed()) {
        send_result(ERR_CROSS_ORIGIN);
        return;
    }

    input_left = UINT64_MAX;
    const char *length = getenv("CONTENT_LENGTH");
    if (length) {
        uint32_t declared = content_length_value(length);
        if (declared > upload_profile.limit) {
            send_result(ERR_TOO_LARGE);
            return;
        }
        if (content_length_is_plain(length))
            input_left = declared;
    }

    const char *type = getenv("CONTENT_TYPE");
    if (!type || strncmp(type, CONTENT_TYPE_PREFIX, PREFIX_LENGTH) != 0) {
        send_result(ERR_BAD_REQUEST);
        return;
    }
    const char *equals = strchr(type + PREFIX_LENGTH, '=');
    if (!equals) {
        send_result(ERR_BAD_REQUEST);
        return;
    }
    const char *boundary = equals + 1;
    size_t boundary_length = strlen(boundary);
    if (boundary_length > MAX_DELIMITER - 2) {
        send_result(ERR_BAD_REQUEST);
        return;
    }
    static char delimiter[MAX_DELIMITER + 1];
    delimiter[0] = '-';
    delimiter[1] = '-';
    memcpy(delimiter + 2, boundary, boundary_length + 1);

    upload_state.target_path = upload_profile.path;

    alignas(multipart_scanner) static unsigned char scanner_memory[scanner_size(MAX_DELIMITER)];
    multipart_scanner *scanner =
        scanner_init(scanner_memory, sizeof scanner_memory, delimiter, &upload_callbacks);
    if (!scanner) {
        send_result(ERR_BAD_REQUEST);
        return;
    }

    char buffer[READ_CHUNK];
    for (;;) {
        ssize_t got = read_body(buffer);
        if (got <= 0)
            break;
        if (scanner_feed(scanner, buffer, static_cast<size_t>(got)) < static_cast<size_t>(got))
            break;
    }
    upload_input_ended();

    // The host may wait for us to take the whole body before it reads ours.
    while (read_body(buffer) > 0) {
    }
}

int upload_main()
{
    upload_state.answered = false;
    upload_state.stored_bytes = 0;
    handle_request();
    flush_response();
#if UPLOAD_CLIENT_RELOAD
    // The file is stored and the answer has gone: whatever the client
    // makes of it changes neither.
    upload_state.reload = upload_state.answered && upload_state.answer == 0 ? client_reload() : nullptr;
#endif
    log_answer();
    return 0;
}
