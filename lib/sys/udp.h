// A UDP socket connected to one IPv4 peer: the CID clients and stationtool open theirs here and
// each reports a failure in its own words.
#pragma once

#include <cstdint>

// The step of udp_connect that failed.
enum udp_step_t { UDP_CONNECTED, UDP_SOCKET, UDP_TIMEOUT, UDP_ADDRESS, UDP_CONNECT };

// A connected descriptor, or -1 with the step that failed and that step's errno.
struct udp_socket_t {
    int fd;
    udp_step_t failed;
    int error;
};

// Creates a UDP socket, sets its receive timeout to `timeoutSeconds` unless that is 0, takes the
// IPv4 address of `host` and connects to it at `port`; a failed step closes the socket again.
// With `lookUp` the host is looked up by name (gethostbyname; an answer that is not IPv4 fails
// with EAFNOSUPPORT), without it the text must be a dotted address (EINVAL otherwise).
udp_socket_t udp_connect(const char* host, uint16_t port, int timeoutSeconds, bool lookUp);
