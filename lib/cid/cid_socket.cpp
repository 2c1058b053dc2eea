#include "cid_socket.h"

#include <cerrno>
#include <stdexcept>

#include "command.h"
#include "udp.h"

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
    int length = CIDINTERSECTIONSTATUSCOMMAND().serialize(buffer, capacity);
    if (length < 0) {
        throw std::runtime_error("Unable to serialize CID command.");
    }
    cid_queryStep failed;
    ssize_t received =
        cid_query(descriptor_.fd(), buffer, static_cast<size_t>(length), capacity, &failed);
    if (received < 0) {
        throwSystemError(errno, failed == CID_QUERY_SEND ? "Unable to send command to CID."
                                                         : "Unable to recieve CID response.");
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

int CIDSocket::sendStatusReport(uint16_t reds, uint16_t greens) {
    uint8_t buffer[CID_BUFFER_SIZE];
    return static_cast<int>(sendCommand(CIDAPBSTATUSREPORT(reds, greens), buffer, sizeof buffer));
}
