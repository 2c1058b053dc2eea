#include "cid_socket.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "command.h"
#include "udp.h"

namespace {

// How long a refused query waits before it is sent once more: longer than a CID restart that
// takes a few tenths of a second, short of the one-second answer budget.
constexpr std::chrono::milliseconds CID_RETRY_PAUSE{500};

}  // namespace

CIDSocket::CIDSocket() : CIDSocket(CID_HOST, CID_PORT) {}

CIDSocket::CIDSocket(const char* host, uint16_t port) {
    // By udp_step_t; a host that is no dotted address fails to connect with EINVAL.
    static const char* const failures[] = {
        "", "Unable to get CID socket.", "Unable to set CID socket timeout.",
        "Unable to connect CID socket.", "Unable to connect CID socket."};
    udp_socket_t sock = udp_connect(host, port, CID_TIMEOUT_SECONDS, false);
    if (sock.fd < 0) {
        throwSystemError(sock.error, failures[sock.failed]);
    }
    descriptor_ = Descriptor(sock.fd);
}

unsigned CIDSocket::query(uint8_t* buffer, uint32_t capacity) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(CID_TIMEOUT_SECONDS);
    sendCommand(CIDINTERSECTIONSTATUSCOMMAND(), buffer, capacity);
    ssize_t received = recv(descriptor_.fd(), buffer, capacity, MSG_WAITALL);
    if (received < 0 && errno == ECONNREFUSED) {
        // Nothing listened on the CID's port when the query came: a CID restarting. Ask once
        // more when it has had time to come back, within the same answer budget.
        std::this_thread::sleep_for(CID_RETRY_PAUSE);
        limitReceiveTime(deadline - std::chrono::steady_clock::now());
        sendCommand(CIDINTERSECTIONSTATUSCOMMAND(), buffer, capacity);
        received = recv(descriptor_.fd(), buffer, capacity, MSG_WAITALL);
    }
    if (received < 0) {
        throwSystemError(errno, "Unable to recieve CID response.");
    }
    return static_cast<unsigned>(received);
}

ssize_t CIDSocket::sendCommand(const CIDCommand& command, uint8_t* buffer, uint32_t capacity) {
    int length = command.serialize(buffer, capacity);
    if (length < 0) {
        throw std::runtime_error("Unable to serialize CID command.");
    }
    ssize_t sent = cid_send(descriptor_.fd(), buffer, static_cast<size_t>(length));
    if (sent < 0) {
        throwSystemError(errno, "Unable to send command to CID.");
    }
    return sent;
}

void CIDSocket::limitReceiveTime(std::chrono::steady_clock::duration left) {
    // A zero timeout would mean none at all: at least one microsecond.
    auto micros =
        std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
    timeval timeout{static_cast<time_t>(micros / 1000000),
                    static_cast<suseconds_t>(micros % 1000000)};
    if (setsockopt(descriptor_.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        throwSystemError(errno, "Unable to set CID socket timeout.");
    }
}

int CIDSocket::sendStatusReport(uint16_t reds, uint16_t greens) {
    uint8_t buffer[CID_BUFFER_SIZE];
    return static_cast<int>(sendCommand(CIDAPBSTATUSREPORT(reds, greens), buffer, sizeof buffer));
}
