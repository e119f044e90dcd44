#include <stdlib.h>
#include <string.h>

#include "upload.h"

// A form on any page the administrator opens can post here, and the browser
// adds the login it remembers; only the browser's own headers tell such a
// post from one made by the device's page. Clients that send none of them
// are not browsers and cannot be led to post by a page.

#ifndef UPLOAD_TRUSTED_ORIGINS
#define UPLOAD_TRUSTED_ORIGINS ""
#endif

static bool equal_ignoring_case(const char *a, const char *b, size_t length)
{
    if (strlen(a) != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x | 0x20);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y | 0x20);
        if (x != y)
            return false;
    }
    return true;
}

// A portal that posts from an origin of its own is named at build time; the
// list is separated by spaces, which no origin holds.
static bool trusted(const char *origin)
{
    if (!origin)
        return false;
    const char *at = UPLOAD_TRUSTED_ORIGINS;
    while (*at) {
        size_t length = strcspn(at, " ");
        if (length && equal_ignoring_case(origin, at, length))
            return true;
        at += length;
        at += *at == ' ';
    }
    return false;
}

// An empty header is taken as absent, as the model browsers' servers do.
static const char *header(const char *name)
{
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

bool origin_allowed()
{
#if defined(UPLOAD_CROSS_ORIGIN_CHECK) && !UPLOAD_CROSS_ORIGIN_CHECK
    return true;
#else
    const char *origin = header("HTTP_ORIGIN");
    if (const char *site = header("HTTP_SEC_FETCH_SITE"))
        return !strcmp(site, "same-origin") || !strcmp(site, "none") || trusted(origin);
    if (!origin)
        return true;
    // "null" and anything else without a scheme never names this host.
    const char *host = header("HTTP_HOST");
    const char *after_scheme = origin;
    while (*after_scheme && *after_scheme != ':')
        ++after_scheme;
    if (host && after_scheme[0] && after_scheme[1] == '/' && after_scheme[2] == '/' &&
        equal_ignoring_case(host, after_scheme + 3, strlen(after_scheme + 3)))
        return true;
    return trusted(origin);
#endif
}
