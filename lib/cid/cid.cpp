#include "cid.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static int _fail(int sock, const char* message) {
    int saved = errno;
    fprintf(stderr, "%s: %s\n", "cid_getSocket", message);
    fprintf(stderr, "%s: %s\n", "cid_getSocket", strerror(saved));
    if (sock >= 0) {
        close(sock);
    }
    return -1;
}

int cid_getSocket() {
    int sock = socket(AF_INET, SOCK_DGRAM, 17);
    if (sock < 0) {
        return _fail(sock, "Unable to init CID Socket:");
    }
    timeval timeout{CID_TIMEOUT_SECONDS, 0};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        return _fail(sock, "Unable to set socket timeout:");
    }
    hostent* host = gethostbyname(CID_HOST);
    if (host == nullptr || host->h_addr_list[0] == nullptr) {
        return _fail(sock, "Unable to get CID host:");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(CID_PORT);
    memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
    if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        return _fail(sock, "Unable to connect to CID host:");
    }
    return sock;
}

ssize_t cid_send(int sock, const void* bytes, size_t length) {
    ssize_t sent = send(sock, bytes, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == ECONNREFUSED) {
        sent = send(sock, bytes, length, MSG_NOSIGNAL);
    }
    return sent;
}
