#include "cid.h"

#include <sys/socket.h>

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

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

namespace {

using Clock = std::chrono::steady_clock;

// How long a refused query waits before it is sent once more: longer than a CID restart that
// takes a few tenths of a second, short of the one-second answer budget.
constexpr std::chrono::milliseconds CID_RETRY_PAUSE{500};

// Sets fd's receive timeout to what is left until `deadline`, at least a microsecond (zero
// would mean no timeout at all).
int limitReceiveTime(int fd, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    auto micros = std::max<int64_t>(1, left.count());
    timeval timeout{static_cast<time_t>(micros / 1000000),
                    static_cast<suseconds_t>(micros % 1000000)};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

ssize_t sendAndReceive(int fd, uint8_t* buffer, size_t length, size_t capacity,
                       cid_queryStep* failed) {
    *failed = CID_QUERY_SEND;
    if (cid_send(fd, buffer, length) < 0) {
        return -1;
    }
    *failed = CID_QUERY_RECEIVE;
    return recv(fd, buffer, capacity, MSG_WAITALL);
}

}  // namespace

ssize_t cid_query(int fd, uint8_t* buffer, size_t length, size_t capacity, cid_queryStep* failed) {
    auto deadline = Clock::now() + std::chrono::seconds(CID_TIMEOUT_SECONDS);
    ssize_t received = sendAndReceive(fd, buffer, length, capacity, failed);
    if (received < 0 && errno == ECONNREFUSED) {
        // A failed recv left the query in the buffer untouched.
        std::this_thread::sleep_for(CID_RETRY_PAUSE);
        if (limitReceiveTime(fd, deadline) < 0) {
            return -1;
        }
        received = sendAndReceive(fd, buffer, length, capacity, failed);
    }
    return received;
}
