// The harness itself: what every whole-program test relies on.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "harness.h"

namespace systest {
namespace {

class HarnessTest : public SystemTest {};

TEST_F(HarnessTest, StationAddressesAreLocal) {
    for (int station : {0, 3, 16}) {
        std::string ip = "192.168.0." + std::to_string(10 + station);
        TcpListener listener(ip, 50006);
        auto client = tcpConnect("127.0.0.1", ip, 50006, 1s);
        ASSERT_TRUE(client) << ip;
        EXPECT_TRUE(listener.accept(1s));
    }
}

TEST_F(HarnessTest, TmpfsCoversMissingPathWithoutCreatingIt) {
    mountTmpfs("/var/lib/vok");
    struct stat st;
    EXPECT_EQ(stat("/var/lib/vok", &st), 0);
    writeFile("/var/lib/vok/probe", "x");
    EXPECT_EQ(readFile("/var/lib/vok/probe"), "x");
}

TEST_F(HarnessTest, RunCollectsStatusOutputAndError) {
    Result result = run({"/bin/sh", "-c", "cat; echo oops >&2; exit 3"}, "hello");
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "hello");
    EXPECT_EQ(result.err, "oops\n");
    EXPECT_FALSE(result.timedOut);
}

TEST_F(HarnessTest, RunKillsAtTheTimeLimit) {
    Result result = run({"/bin/sleep", "10"}, "", 200ms);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.status, 128 + SIGKILL);
}

TEST_F(HarnessTest, UdpPeerRepliesToSender) {
    UdpPeer server("127.0.0.1", 5000);
    UdpPeer client("192.168.0.13", 4000);
    client.sendTo("127.0.0.1", 5000, {1, 2, 3});
    auto request = server.receive(1s);
    ASSERT_TRUE(request);
    EXPECT_EQ(hex(*request), "01 02 03");
    server.reply({9});
    auto answer = client.receive(1s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(hex(*answer), "09");
}

}  // namespace
}  // namespace systest
