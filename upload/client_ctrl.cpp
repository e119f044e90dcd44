// SPDX-License-Identifier: MIT
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client_ctrl.h"

// The client answers the address a command came from, so ours must have a
// name: a path beside wpa_cli's own in /tmp, made from our pid, and removed
// before we return. An abstract name would not reach a client in another
// network namespace.
enum { ANSWER_WAIT_MS = 2000 };

static void put_decimal(char *&p, unsigned value)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n)
        *p++ = digits[--n];
}

int client_request(const char *command, char *answer, size_t size)
{
    static const char CLIENT[] = UPLOAD_CLIENT_CTRL;
    static_assert(sizeof CLIENT <= sizeof sockaddr_un::sun_path, "UPLOAD_CLIENT_CTRL is too long for a socket");
    answer[0] = 0;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un own = {};
    own.sun_family = AF_UNIX;
    char *p = own.sun_path;
    memcpy(p, "/tmp/nubo-upload-", 17);
    p += 17;
    put_decimal(p, static_cast<unsigned>(getpid()));
    // A name a dead process of the same pid left behind is ours to take.
    if (bind(fd, reinterpret_cast<sockaddr *>(&own), sizeof own) != 0 &&
        (errno != EADDRINUSE || unlink(own.sun_path) != 0 ||
         bind(fd, reinterpret_cast<sockaddr *>(&own), sizeof own) != 0)) {
        close(fd);
        return -1;
    }
    sockaddr_un client = {};
    client.sun_family = AF_UNIX;
    memcpy(client.sun_path, CLIENT, sizeof CLIENT);
    int length = -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&client), sizeof client) == 0 &&
        send(fd, command, strlen(command), MSG_NOSIGNAL) >= 0) {
        // The client may send unsolicited event lines ("<3>CTRL-EVENT-...")
        // to an attached monitor, never to us; anything read is the answer.
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, ANSWER_WAIT_MS) == 1) {
            ssize_t got = recv(fd, answer, size - 1, MSG_DONTWAIT);
            if (got >= 0) {
                answer[got] = 0;
                length = static_cast<int>(got);
            }
        }
    }
    close(fd);
    unlink(own.sun_path);
    return length;
}
