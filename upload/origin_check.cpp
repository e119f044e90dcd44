// SPDX-License-Identifier: MIT
#include <stdlib.h>
#include <string.h>

#include "trusted_origins.h"
#include "upload.h"

// A form on any page the administrator opens can post here, and the browser
// adds the login it remembers; only the browser's own headers tell such a
// post from one made by the device's page. Clients that send none of them
// are not browsers and cannot be led to post by a page.

// An origin, or a host, a against b; b may be a whole address, whose path
// (from the first '/' after a's end) is not compared.
static bool equal_ignoring_case(const char *a, const char *b)
{
    unsigned x, y;
    do {
        x = static_cast<unsigned char>(*a++);
        y = static_cast<unsigned char>(*b++);
        if (x - 'A' < 26)
            x |= 0x20;
        if (y - 'A' < 26)
            y |= 0x20;
    } while (x == y && x);
    return x == y || (!x && y == '/');
}

// A portal that posts from an origin of its own is named at build time.
static bool trusted(const char *origin)
{
    static const char *const TRUSTED[] = {UPLOAD_TRUSTED_ORIGIN_LIST nullptr};
    for (const char *const *t = TRUSTED; *t; ++t)
        if (origin && equal_ignoring_case(*t, origin))
            return true;
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
    if (!UPLOAD_CROSS_ORIGIN_CHECK)
        return true;
    const char *origin = header("HTTP_ORIGIN");
    if (const char *site = header("HTTP_SEC_FETCH_SITE"))
        return !strcmp(site, "same-origin") || !strcmp(site, "none") || trusted(origin);
    // Some servers pass neither header (older releases of uhttpd) but the
    // Referer, whose origin a browser sets just as well unless the page
    // posting asks it to leave the header out.
    if (!origin && !(origin = header("HTTP_REFERER")))
        return true;
    // "null" and anything else without a scheme never names this host.
    const char *host = header("HTTP_HOST");
    const char *after_scheme = origin;
    while (*after_scheme && *after_scheme != ':')
        ++after_scheme;
    if (host && after_scheme[0] && after_scheme[1] == '/' && after_scheme[2] == '/' &&
        equal_ignoring_case(host, after_scheme + 3))
        return true;
    return trusted(origin);
}
