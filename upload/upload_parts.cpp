// SPDX-License-Identifier: MIT
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "upload.h"

const char *const part_kind_names[3] = {"(bug)", "sessionid", "filedata"};

static const char DISPOSITION[] = "content-disposition";
static const char FORM_DATA[] = "form-data";
static const char NAME_KEY[] = "name=\"";
enum { DISPOSITION_LENGTH = sizeof DISPOSITION - 1 };

// Steps through a Content-Disposition value, one byte at a time.
enum : unsigned char { V_FORM_DATA, V_SEPARATORS, V_NAME_KEY, V_FIELD, V_DONE };

static char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

// A header line's name and value may arrive in several pieces; they are
// judged as if joined. A value piece closes the name, a name piece the value.
int upload_header_name(multipart_scanner *, const char *at, size_t count)
{
    header_matcher &m = upload_state.header;
    if (!m.name_open) {
        m.name_open = true;
        m.name_ok = true;
        m.name_length = 0;
    }
    m.value_open = false;
    for (size_t i = 0; i < count && m.name_ok; ++i) {
        if (m.name_length == DISPOSITION_LENGTH || lower(at[i]) != DISPOSITION[m.name_length])
            m.name_ok = false;
        else
            ++m.name_length;
    }
    upload_state.in_content_disposition = m.name_ok;
    return 0;
}

static void classify_field(const header_matcher &m)
{
    // Only the exact names count: a prefix such as "file" or an empty name
    // must never let a stray form field overwrite the target.
    if (m.field_session && m.field_length == 9)
        upload_state.part_kind = KIND_SESSION;
    if (m.field_file && m.field_length == 8)
        upload_state.part_kind = KIND_FILE;
}

int upload_header_value(multipart_scanner *, const char *at, size_t count)
{
    header_matcher &m = upload_state.header;
    m.name_open = false;
    if (!m.value_open) {
        m.value_open = true;
        m.value_step = V_FORM_DATA;
        m.value_pos = 0;
        m.field_length = 0;
        m.field_session = true;
        m.field_file = true;
    }
    if (!upload_state.in_content_disposition)
        return 0;
    for (size_t i = 0; i < count && m.value_step != V_DONE; ++i) {
        const char c = at[i];
        switch (m.value_step) {
        case V_FORM_DATA:
            if (lower(c) != FORM_DATA[m.value_pos])
                m.value_step = V_DONE;
            else if (++m.value_pos == sizeof FORM_DATA - 1)
                m.value_step = V_SEPARATORS;
            break;
        case V_SEPARATORS:
            if (c == ';' || c == ' ')
                break;
            m.value_step = V_NAME_KEY;
            m.value_pos = 0;
            [[fallthrough]];
        case V_NAME_KEY:
            if (lower(c) != NAME_KEY[m.value_pos])
                m.value_step = V_DONE;
            else if (++m.value_pos == sizeof NAME_KEY - 1)
                m.value_step = V_FIELD;
            break;
        case V_FIELD:
            if (c == '"') {
                classify_field(m);
                m.value_step = V_DONE;
                break;
            }
            m.field_session = m.field_session && m.field_length < 9 && c == part_kind_names[KIND_SESSION][m.field_length];
            m.field_file = m.field_file && m.field_length < 8 && c == part_kind_names[KIND_FILE][m.field_length];
            if (m.field_length < 255)
                ++m.field_length;
            break;
        }
    }
    return 0;
}

// The file's bytes are gathered here and written in large blocks: content
// is cut into a piece at every CR, and a write per piece costs a system call
// per piece.
enum { SPOOL_BUFFER = 64 * 1024 };
static char spool_buffer[SPOOL_BUFFER];
static size_t spool_used;

static bool write_exactly(int fd, const char *at, size_t count)
{
    return write(fd, at, count) == static_cast<ssize_t>(count);
}

int spool_flush()
{
    size_t used = spool_used;
    spool_used = 0;
    return used == 0 || write_exactly(upload_state.temp_fd, spool_buffer, used) ? 0 : -1;
}

static int spool_failed()
{
    close(upload_state.temp_fd);
    return send_result(ERR_IO);
}

void upload_input_ended()
{
    // Input that ends inside the file part leaves bytes gathered but not
    // written; writing them now gives the answer a write per piece would
    // have given, so a failing spool is reported however the body ends.
    if (spool_used > 0 && spool_flush() != 0)
        spool_failed();
}

int upload_headers_end(multipart_scanner *)
{
    upload_state.header.name_open = false;
#if UPLOAD_SESSION_CHECK
    if (upload_state.part_kind == KIND_SESSION)
        upload_state.session_length = 0;
    // A file part is taken only after a session that may write: nothing of
    // it is spooled before the verdict, and a later sessionid cannot save it.
    if (upload_state.part_kind == KIND_FILE && !upload_state.session_valid)
        return send_result(ERR_SESSION);
#endif
    if (upload_state.part_kind != KIND_FILE)
        return 0;
    spool_used = 0;
    char name[] = "/tmp/nubo-upload.XXXXXX";
    upload_state.temp_fd = mkstemp(name);
    if (upload_state.temp_fd < 0)
        return send_result(ERR_IO);
    // The data lives only as long as the descriptor.
    unlink(name);
    return 0;
}

int upload_part_bytes(multipart_scanner *, const char *at, size_t count)
{
    switch (upload_state.part_kind) {
    case KIND_FILE:
#if UPLOAD_CONTENT_CHECK
        content_feed(at, count);
#endif
        if (count > SPOOL_BUFFER - spool_used) {
            if (spool_flush() != 0)
                return spool_failed();
            if (count >= SPOOL_BUFFER) {
                if (!write_exactly(upload_state.temp_fd, at, count))
                    return spool_failed();
                upload_state.have_file_data = true;
                return 0;
            }
        }
        memcpy(spool_buffer + spool_used, at, count);
        spool_used += count;
        if (count > 0)
            upload_state.have_file_data = true;
        return 0;
    case KIND_SESSION: {
#if UPLOAD_SESSION_CHECK
        for (size_t i = 0; i < count && upload_state.session_length < sizeof upload_state.session_value; ++i)
            upload_state.session_value[upload_state.session_length++] = at[i];
#endif
        // A piece is at most one read, or the CR LF and delimiter bytes the
        // scanner held back.
        static char copy[MAX_DELIMITER + 3 > READ_CHUNK ? MAX_DELIMITER + 3 : READ_CHUNK + 1];
        if (count < sizeof copy) {
            memcpy(copy, at, count);
            copy[count] = '\0';
            upload_state.session_id = copy;
        } else {
            upload_state.session_id = nullptr;
        }
        return 0;
    }
    default:
        return 0;
    }
}
