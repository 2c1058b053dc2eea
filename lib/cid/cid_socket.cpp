#include "cid_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "command.h"

namespace {

[[noreturn]] void throwSystemError(int error, const char* text) {
    throw std::system_error(error, std::system_category(), text);
}

}  // namespace

CIDSocket::CIDSocket() : CIDSocket(CID_HOST, CID_PORT) {}

CIDSocket::CIDSocket(const char* host, uint16_t port) {
    descriptor_ = socket(AF_INET, SOCK_DGRAM, 17);
    if (descriptor_ < 0) {
        throwSystemError(errno, "Unable to get CID socket.");
    }
    timeval timeout{CID_TIMEOUT_SECONDS, 0};
    if (setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        int error = errno;
        close(descriptor_);
        throwSystemError(error, "Unable to set CID socket timeout.");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    int converted = inet_pton(AF_INET, host, &address.sin_addr);
    if (converted != 1 ||
        connect(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        int error = converted != 1 ? EINVAL : errno;
        close(descriptor_);
        throwSystemError(error, "Unable to connect CID socket.");
    }
}

CIDSocket::~CIDSocket() {
    if (descriptor_ > 0) {
        close(descriptor_);
    }
}

unsigned CIDSocket::query(uint8_t* buffer, uint32_t capacity) {
    int length = CIDINTERSECTIONSTATUSCOMMAND().serialize(buffer, capacity);
    if (length < 0) {
        throw std::runtime_error("Unable to serialize CID command.");
    }
    if (send(descriptor_, buffer, static_cast<size_t>(length), MSG_NOSIGNAL) < 0) {
        throwSystemError(errno, "Unable to send command to CID.");
    }
    ssize_t received = recv(descriptor_, buffer, capacity, MSG_WAITALL);
    if (received < 0) {
        throwSystemError(errno, "Unable to recieve CID response.");
    }
    return static_cast<unsigned>(received);
}

int CIDSocket::sendStatusReport(uint16_t reds, uint16_t greens) {
    uint8_t buffer[CID_BUFFER_SIZE];
    int length = CIDAPBSTATUSREPORT(reds, greens).serialize(buffer, sizeof buffer);
    if (length < 0) {
        throw std::runtime_error("Unable to serialize CID command.");
    }
    ssize_t sent = send(descriptor_, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent < 0) {
        throwSystemError(errno, "Unable to send command to CID.");
    }
    return static_cast<int>(sent);
}
