#include "cid_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "descriptors.h"
#include "thrown.h"
#include "udp_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CIDSocketTest, QuerySendsTheStatusCommandAndReceivesTheAnswer) {
    UdpPeer cid;
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
    UdpPeer cid;
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
        UdpPeer gone;
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
    UdpPeer cid;
    CIDSocket socket("127.0.0.1", cid.port());
    uint8_t buffer[8];
    EXPECT_EQ(messageOf<std::runtime_error>([&] { socket.query(buffer, sizeof buffer); }),
              "Unable to serialize CID command.");
}

TEST(CIDSocketTest, StatusReportWidensWithoutSignAndReadsNoAnswer) {
    UdpPeer cid;
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

}  // namespace
