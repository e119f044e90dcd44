// SPDX-License-Identifier: MIT
#include <libubus.h>
#include <string.h>

#include "session_check.h"

// rpcd grants this for the nubo-upload group's "write" (acl.d/nubo-upload.json,
// the array form: scope, then object, the permission as function).
static const char SCOPE[] = "nubo-upload";
static const char OBJECT[] = "upload";
static const char FUNCTION[] = "write";
// Well within uhttpd's script timeout; rpcd answers at once when it runs.
enum { ANSWER_MS = 5000, ID_LENGTH = 32 };

static void take_answer(ubus_request *request, int, blob_attr *message)
{
    static const blobmsg_policy ACCESS = {"access", BLOBMSG_TYPE_BOOL};
    blob_attr *access = nullptr;
    if (message && blobmsg_parse(&ACCESS, 1, &access, blob_data(message), blob_len(message)) == 0 && access)
        *static_cast<bool *>(request->priv) = blobmsg_get_bool(access);
}

// rpcd's ids are 32 hex digits; anything else is not asked about, so that
// no byte of the request reaches rpcd unchecked.
static bool well_formed(const char *id, size_t length)
{
    if (length != ID_LENGTH)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned c = static_cast<unsigned char>(id[i]);
        if (!(c - '0' < 10 || (c | 0x20) - 'a' < 6))
            return false;
    }
    return true;
}

bool session_allowed(const char *id, size_t length)
{
    if (!well_formed(id, length))
        return false;
    char text[ID_LENGTH + 1];
    memcpy(text, id, ID_LENGTH);
    text[ID_LENGTH] = '\0';

    ubus_context *bus = ubus_connect(nullptr);
    if (!bus)
        return false;
    bool allowed = false;
    uint32_t session;
    // An unknown, expired or destroyed session fails the call rather than
    // answering false; either way `allowed` stays false.
    if (ubus_lookup_id(bus, "session", &session) == 0) {
        blob_buf request;
        memset(&request, 0, sizeof request);
        blob_buf_init(&request, 0);
        blobmsg_add_string(&request, "ubus_rpc_session", text);
        blobmsg_add_string(&request, "scope", SCOPE);
        blobmsg_add_string(&request, "object", OBJECT);
        blobmsg_add_string(&request, "function", FUNCTION);
        if (ubus_invoke(bus, session, "access", request.head, take_answer, &allowed, ANSWER_MS) != 0)
            allowed = false;
        blob_buf_free(&request);
    }
    ubus_free(bus);
    return allowed;
}
