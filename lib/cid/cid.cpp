#include "cid.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "udp.h"

int cid_getSocket() {
    // By udp_step_t.
    static const char* const failures[] = {
        "", "Unable to init CID Socket:", "Unable to set socket timeout:",
        "Unable to get CID host:", "Unable to connect to CID host:"};
    udp_socket_t sock = udp_connect(CID_HOST, CID_PORT, CID_TIMEOUT_SECONDS, true);
    if (sock.fd < 0) {
        fprintf(stderr, "%s: %s\n", "cid_getSocket", failures[sock.failed]);
        fprintf(stderr, "%s: %s\n", "cid_getSocket", strerror(sock.error));
    }
    return sock.fd;
}

ssize_t cid_send(int fd, const uint8_t* buffer, size_t length) {
    ssize_t sent = send(fd, buffer, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == ECONNREFUSED) {
        sent = send(fd, buffer, length, MSG_NOSIGNAL);
    }
    return sent;
}
