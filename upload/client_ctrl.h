// SPDX-License-Identifier: MIT
// The 802.1X client's control socket (wpa_supplicant's ctrl_interface folder
// and the interface, as wpa_cli finds it), named at build time by
// UPLOAD_CLIENT_CTRL.
#ifndef CLIENT_CTRL_H
#define CLIENT_CTRL_H

#include <stddef.h>

// Sends one command and reads the client's answer into `answer`, which is
// always NUL-terminated: its length, or -1 when there is no client or no
// answer within a couple of seconds. Never leaves its own socket's name.
int client_request(const char *command, char *answer, size_t size);

// After an answer 0, the client reads its files again: "ok", "refused" or
// "failed" (no client, or no answer in time), for the system log line.
const char *client_reload();

#endif
