#include "cid_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "descriptors.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A UDP socket on an ephemeral port of 127.0.0.1 that plays the CID.
class FakeCid {
  public:
    FakeCid() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        timeval timeout{3, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~FakeCid() { close(fd_); }
    uint16_t port() const { return port_; }

    // Receives one datagram and, unless `answer` is empty, answers its sender with it.
    Bytes serve(const Bytes& answer) {
        Bytes received(2048);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        ssize_t n = recvfrom(fd_, received.data(), received.size(), 0,
                             reinterpret_cast<sockaddr*>(&peer), &length);
        received.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (!answer.empty()) {
            sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                   length);
        }
        return received;
    }

  private:
    int fd_;
    uint16_t port_ = 0;
};

template <typename Exception, typename Action>
std::string messageOf(Action action) {
    try {
        action();
    } catch (const Exception& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

TEST(CIDSocketTest, QuerySendsTheStatusCommandAndReceivesTheAnswer) {
    FakeCid cid;
    Bytes answer(300, 0xAB);
    Bytes request;
    std::thread peer([&] { request = cid.serve(answer); });
    CIDSocket socket("127.0.0.1", cid.port());
    uint8_t buffer[1024];
    unsigned received = socket.query(buffer, sizeof buffer);
    peer.join();
    EXPECT_EQ(request, (Bytes{0x0C, 0, 0, 0, 0x10, 0x74, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(received, 300u);
    EXPECT_EQ(Bytes(buffer, buffer + received), answer);
}

TEST(CIDSocketTest, SilentCidFailsTheQueryAfterAboutOneSecond) {
    FakeCid cid;
    std::thread peer([&] { cid.serve({}); });
    CIDSocket socket("127.0.0.1", cid.port());
    uint8_t buffer[1024];
    auto start = std::chrono::steady_clock::now();
    std::string message =
        messageOf<std::system_error>([&] { socket.query(buffer, sizeof buffer); });
    auto waited = std::chrono::steady_clock::now() - start;
    peer.join();
    EXPECT_EQ(message.rfind("Unable to recieve CID response.", 0), 0u) << message;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(2500));
}

// Refused, the query is sent once more after a pause, all within the one-second budget.
TEST(CIDSocketTest, AbsentCidFailsTheQueryAsAReceiveError) {
    uint16_t port;
    {
        FakeCid gone;
        port = gone.port();
    }
    CIDSocket socket("127.0.0.1", port);
    uint8_t buffer[1024];
    auto start = std::chrono::steady_clock::now();
    std::string message =
        messageOf<std::system_error>([&] { socket.query(buffer, sizeof buffer); });
    EXPECT_EQ(message, "Unable to recieve CID response.: Connection refused");
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1100));
}

TEST(CIDSocketTest, CommandTooLargeForTheBufferIsASerializeError) {
    FakeCid cid;
    CIDSocket socket("127.0.0.1", cid.port());
    uint8_t buffer[8];
    EXPECT_EQ(messageOf<std::runtime_error>([&] { socket.query(buffer, sizeof buffer); }),
              "Unable to serialize CID command.");
}

TEST(CIDSocketTest, StatusReportWidensWithoutSignAndReadsNoAnswer) {
    FakeCid cid;
    CIDSocket socket("127.0.0.1", cid.port());
    EXPECT_EQ(socket.sendStatusReport(65535, 1), 26);
    Bytes sent = cid.serve({});
    EXPECT_EQ(sent, (Bytes{0x1A, 0,    0,    0, 0x10, 't',  0,   5, 0, 0, 0, 0x10, 'r',
                           0,    0xFF, 0xFF, 0, 0,    0x10, 'g', 0, 1, 0, 0, 0,    0}));
}

TEST(CIDSocketTest, FailedConnectLeavesNoDescriptorOpen) {
    // An address that does not convert, and the broadcast address, which a UDP socket without
    // SO_BROADCAST cannot connect to.
    for (const char* host : {"not an address", "255.255.255.255"}) {
        size_t before = openDescriptors();
        std::string message = messageOf<std::system_error>([&] { CIDSocket socket(host, 5000); });
        EXPECT_EQ(message.rfind("Unable to connect CID socket.", 0), 0u) << host << ": " << message;
        EXPECT_EQ(openDescriptors(), before) << host;
    }
}

TEST(CIDSocketTest, DestructorClosesTheSocket) {
    FakeCid cid;
    size_t before = openDescriptors();
    {
        CIDSocket socket("127.0.0.1", cid.port());
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
