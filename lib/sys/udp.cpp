#include "udp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "descriptor.h"

// Takes the address of `host` into `address`; false with the reason in `error`. A failed look-up
// gives errno as the resolver left it, since it reports its own errors elsewhere.
static bool _address(const char* host, bool lookUp, in_addr* address, int* error) {
    if (!lookUp) {
        *error = EINVAL;
        return inet_pton(AF_INET, host, address) == 1;
    }
    hostent* entry = gethostbyname(host);
    *error = errno;
    if (entry == nullptr || entry->h_addr_list[0] == nullptr) {
        return false;
    }
    *error = EAFNOSUPPORT;
    if (entry->h_addrtype != AF_INET || entry->h_length != sizeof *address) {
        return false;
    }
    memcpy(address, entry->h_addr_list[0], sizeof *address);
    return true;
}

udp_socket_t udp_connect(const char* host, uint16_t port, int timeoutSeconds, bool lookUp) {
    Descriptor sock(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));  // closed on every failure
    if (sock.fd() < 0) {
        return {-1, UDP_SOCKET, errno};
    }
    timeval timeout{timeoutSeconds, 0};
    if (timeoutSeconds > 0 &&
        setsockopt(sock.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        return {-1, UDP_TIMEOUT, errno};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    int error = 0;
    if (!_address(host, lookUp, &address.sin_addr, &error)) {
        return {-1, UDP_ADDRESS, error};
    }
    if (connect(sock.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        return {-1, UDP_CONNECT, errno};
    }
    return {sock.release(), UDP_CONNECTED, 0};
}
