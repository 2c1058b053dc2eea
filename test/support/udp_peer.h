// Test support: a UDP socket bound to ip:port that plays the CID (or a station's agent): it
// receives datagrams and answers the sender of the last one.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "descriptor.h"

// The IPv4 socket address of ip:port; std::invalid_argument when ip is no dotted address.
inline sockaddr_in addressOf(const std::string& ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) {
        throw std::invalid_argument("bad address " + ip);
    }
    return address;
}

class UdpPeer {
  public:
    using Bytes = std::vector<uint8_t>;
    using Millis = std::chrono::milliseconds;

    // Port 0 binds any free port (see port()), as the unit tests do; 127.0.0.1:5000 is the CID.
    explicit UdpPeer(const std::string& ip = "127.0.0.1", uint16_t port = 0)
        : socket_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address = addressOf(ip, port);
        socklen_t length = sizeof address;
        if (bind(socket_.fd(), reinterpret_cast<sockaddr*>(&address), length) < 0 ||
            getsockname(socket_.fd(), reinterpret_cast<sockaddr*>(&address), &length) < 0) {
            throw std::system_error(errno, std::system_category(),
                                    "bind udp " + ip + ":" + std::to_string(port));
        }
        port_ = ntohs(address.sin_port);
    }

    int fd() const { return socket_.fd(); }
    uint16_t port() const { return port_; }

    // One datagram (up to 64 KiB); nullopt when none arrives within `limit`.
    std::optional<Bytes> receive(Millis limit = Millis(5000)) {
        pollfd entry{socket_.fd(), POLLIN, 0};
        int ready;
        do {
            ready = poll(&entry, 1, static_cast<int>(limit.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            return std::nullopt;
        }
        Bytes bytes(65536);
        peerLength_ = sizeof peer_;
        ssize_t n = recvfrom(socket_.fd(), bytes.data(), bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&peer_), &peerLength_);
        if (n < 0) {
            throw std::system_error(errno, std::system_category(), "recvfrom");
        }
        bytes.resize(static_cast<size_t>(n));
        return bytes;
    }

    // Sends to the sender of the last datagram received, or to ip:port.
    void reply(const Bytes& bytes) { send(bytes, peer_, peerLength_); }
    void sendTo(const std::string& ip, uint16_t port, const Bytes& bytes) {
        send(bytes, addressOf(ip, port), sizeof(sockaddr_in));
    }

    // Receives one datagram within 3 s and, unless `answer` is empty, answers it; the datagram,
    // empty when none came.
    Bytes serve(const Bytes& answer) {
        std::optional<Bytes> received = receive(Millis(3000));
        if (received && !answer.empty()) {
            reply(answer);
        }
        return received.value_or(Bytes{});
    }

  private:
    void send(const Bytes& bytes, const sockaddr_in& to, socklen_t length) {
        if (sendto(socket_.fd(), bytes.data(), bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&to), length) < 0) {
            throw std::system_error(errno, std::system_category(), "sendto");
        }
    }

    Descriptor socket_;
    uint16_t port_ = 0;
    sockaddr_in peer_{};
    socklen_t peerLength_ = 0;
};
