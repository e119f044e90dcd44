// SPDX-License-Identifier: MIT
// The upload CGI program: one request per process, its state process-global.
#ifndef UPLOAD_H
#define UPLOAD_H

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include "multipart_scanner.h"
#if UPLOAD_CONTENT_CHECK
#include "content_check.h"
#endif

constexpr size_t READ_CHUNK = 4096;
// The longest delimiter a request can bring: a kernel passes no environment
// string longer than MAX_ARG_STRLEN (131072 bytes, "CONTENT_TYPE=" and the
// NUL included), so static storage of this size refuses no boundary a heap
// would have taken.
constexpr size_t MAX_DELIMITER = 2 + 131072;

enum {
    ERR_TOO_LARGE = -7001,
    ERR_BAD_REQUEST = -7002,
    ERR_EMPTY_FILE = -7003,
    ERR_IO = -7004,
    ERR_CROSS_ORIGIN = -7005,
    ERR_WRONG_KIND = -7006,
    ERR_SESSION = -7007,
};

enum { KIND_NONE = 0, KIND_SESSION = 1, KIND_FILE = 2 };

extern const char *const part_kind_names[3];

// Fixed per deliverable at build time.
struct target_profile {
    const char *name;   // the deliverable's, as the log names it
    const char *path;
    uint32_t limit;     // largest accepted CONTENT_LENGTH
#if UPLOAD_CONTENT_CHECK
    const slot_rule *rule;   // the files the slot takes
#endif
};
// The profile this process serves; the multi-call program fills it in at
// start from the name it was started under.
extern target_profile upload_profile;
// Chooses upload_profile by the base name of argv[0] (which may be null);
// false, after one usage line on standard error, when no profile has it.
// A single-profile program serves its own under any name.
bool select_profile(const char *program);

// Incremental judges of one header line, so that how the web server happened
// to cut the body into reads never changes the outcome.
struct header_matcher {
    bool name_open;     // name pieces of the current line are arriving
    bool value_open;    // value pieces of the current line are arriving
    bool name_ok;       // the name so far is a prefix of "Content-Disposition"
    unsigned char name_length;   // saturates; 20 or more never matches
    unsigned char value_step;    // where in the disposition grammar we are
    unsigned char value_pos;     // bytes matched of the current literal
    unsigned char field_length;  // saturates
    bool field_session;  // the field name so far equals "sessionid" so far
    bool field_file;     // likewise for "filedata"
};

struct upload_request_state {
    bool in_content_disposition;
    int part_kind;
    const char *target_path;
    bool have_file_data;
    int target_mode;
    int temp_fd;
    const char *session_id;   // the session part's latest piece
    header_matcher header;
    bool answered;          // send_result gave an answer; `answer` is its code
    int answer;
    uint32_t stored_bytes;  // copied into the target so far
#if UPLOAD_CONTENT_CHECK
    content_judge judge;    // of the file part's bytes so far
#endif
#if UPLOAD_SESSION_CHECK
    // The sessionid part's value, joined from its pieces; one byte more
    // than an id, so that a longer value stays too long.
    char session_value[33];
    unsigned char session_length;
    bool session_valid;     // the latest sessionid part named a session that may write
#endif
#if UPLOAD_CLIENT_RELOAD
    const char *reload;     // the client's reload after answer 0, for the log
#endif
};
extern upload_request_state upload_state;

extern const scanner_callbacks upload_callbacks;

// A host may start us with 0, 1 or 2 closed; a file we open must never
// take their place and be read as the body or receive the response.
inline void keep_standard_fds()
{
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2) {
    }
    if (fd > 2)
        close(fd);
}

int upload_main();
int send_result(int code);

// Whether a browser's own headers show that the request came from the
// device's own page (or from no page at all); non-browser clients pass.
bool origin_allowed();
// One line to the system log for the answer given, if there is a log.
void log_answer();

int upload_header_name(multipart_scanner *, const char *at, size_t count);
int upload_header_value(multipart_scanner *, const char *at, size_t count);
int upload_headers_end(multipart_scanner *);
int upload_part_bytes(multipart_scanner *, const char *at, size_t count);
int upload_part_finish(multipart_scanner *);
int commit_upload();

// CONTENT_LENGTH as the C library's unsigned decimal conversion reads it,
// reduced to 32 bits the way the device sees it.
uint32_t content_length_value(const char *text);
// True when the text is one or more decimal digits and nothing else.
bool content_length_is_plain(const char *text);

int spool_flush();
// The body has ended, or the scan has stopped, without another byte to come.
void upload_input_ended();

// The response is collected here and written once, when upload_main returns.
void flush_response();

#endif
