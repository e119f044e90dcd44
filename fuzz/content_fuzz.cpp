// SPDX-License-Identifier: MIT
// Fuzz target for the content check alone: its PEM decoding and DER walk
// over any file, in either kind of slot. How the web server cuts the body
// never decides, so the file judged in one piece and in pieces of a size
// the input chooses must get the same answer.
//
// Input layout: byte 0 the slot (odd: a key slot), byte 1 the pieces'
// size less one, then the file.
#include <cstdint>
#include <cstdlib>

#include "upload.h"

target_profile upload_profile = {"content_fuzz", "", 0, nullptr};
upload_request_state upload_state;

int send_result(int code)
{
    return code;
}

int upload_part_finish(multipart_scanner *)
{
    return 0;
}

static int judge(const slot_rule &rule, const uint8_t *file, size_t size, size_t piece)
{
    upload_state = {};
    upload_state.have_file_data = true;
    upload_state.temp_fd = -1;
    upload_profile.rule = &rule;
    for (size_t at = 0; at < size; at += piece)
        content_feed(reinterpret_cast<const char *>(file) + at, size - at < piece ? size - at : piece);
    return content_part_finish(nullptr);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const slot_rule &rule = data[0] & 1 ? key_slot : certificate_slot;
    if (judge(rule, data + 2, size - 2, size) != judge(rule, data + 2, size - 2, data[1] + 1u))
        abort();
    return 0;
}
