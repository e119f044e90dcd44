// SPDX-License-Identifier: MIT
#include <string.h>

#include "client_ctrl.h"

// RECONFIGURE makes wpa_supplicant read its configuration file, and so the
// files it names, again, and start a new authentication with them.
const char *client_reload()
{
    char answer[16];
    int got = client_request("RECONFIGURE", answer, sizeof answer);
    if (got < 0)
        return "failed";
    return memcmp(answer, "OK", 2) == 0 ? "ok" : "refused";
}
