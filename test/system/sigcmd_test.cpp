// sigcmd, the real binary, against a CID played by the test on 127.0.0.1:5000.
#include <string>

#include "harness.h"

namespace systest {
namespace {

const std::string USAGE =
    "Useage: \n"
    "sigcmd CALL phasemask\n"
    "CALL := { ped | aps | vok }\n"
    "\n"
    "sigcmd saveapblog\n"
    "sigcmd miireset\n"
    "sigcmd reloadconfig\n"
    "sigcmd status reds greens\n";

Bytes command(int32_t t, int32_t c, int32_t r, int32_t g) {
    return intDocument({{"t", t}, {"c", c}, {"r", r}, {"g", g}});
}

class SigcmdTest : public SystemTest {};

// A command line and the one datagram it sends, or none when it is refused with the usage.
struct Sent {
    std::vector<std::string> args;
    Bytes datagram;
};

TEST_F(SigcmdTest, EachFormSendsOneDatagramAndAnyOtherLinePrintsTheUsage) {
    const Sent cases[] = {
        {{"ped", "5"}, command(2, 5, 0, 0)},
        {{"aps", "0x10"}, command(3, 0, 0, 0)},
        {{"vok", "255"}, command(4, 255, 0, 0)},
        {{"status", "3", "12"}, command(5, 0, 12, 3)},
        {{"miireset"}, command(6, 0, 0, 0)},
        {{"reloadconfig"}, command(7, 0, 0, 0)},
        {{"saveapblog"}, command(10, 0, 0, 0)},
        {{"ped", "  -7"}, command(2, -7, 0, 0)},
        {{"ped", "12abc"}, command(2, 12, 0, 0)},
        {{"ped", "abc"}, command(2, 0, 0, 0)},
        {{"ped", "99999999999"}, command(2, 2147483647, 0, 0)},
        {{"vok", "-99999999999"}, command(4, -2147483647 - 1, 0, 0)},
        {{}, {}},
        {{"ped"}, {}},
        {{"status", "3"}, {}},
        {{"PED", "1"}, {}},
        {{"walk", "1"}, {}},
        {{"miireset", "1"}, {}},
        {{"status", "1", "2", "3"}, {}},
        {{"ped", "1", "2"}, {}},
        {{"Saveapblog"}, {}},
        {{""}, {}},
    };
    UdpPeer cid("127.0.0.1", 5000);
    for (const Sent& sent : cases) {
        std::vector<std::string> argv{program("sigcmd")};
        argv.insert(argv.end(), sent.args.begin(), sent.args.end());
        Result result = run(argv);
        SCOPED_TRACE(sent.args.empty() ? "(none)" : sent.args[0]);
        bool refused = sent.datagram.empty();
        EXPECT_EQ(result.status, refused ? 255 : 0) << result.err;
        EXPECT_EQ(result.err, refused ? USAGE : "");
        EXPECT_EQ(result.out, "");
        auto datagram = cid.receive(refused ? 100ms : 2s);
        EXPECT_EQ(datagram.has_value(), !refused);
        EXPECT_EQ(hex(datagram.value_or(Bytes{})), hex(sent.datagram));
        EXPECT_FALSE(cid.receive(0ms)) << "more than one datagram";
    }
}

TEST_F(SigcmdTest, SendsEvenWhenNoCidListens) {
    // UDP to a closed port: the send itself succeeds; no answer is read.
    Result result = run({program("sigcmd"), "miireset"});
    EXPECT_EQ(result.status, 0) << result.err;
}

TEST_F(SigcmdTest, NoRouteToTheCidReportsTheSocketSteps) {
    noRouteToCid();
    Result result = run({program("sigcmd"), "ped", "1"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err,
              "cid_getSocket: Unable to connect to CID host:\n"
              "cid_getSocket: Network is unreachable\n"
              "main: Unable to connecto to CID.\n");
}

}  // namespace
}  // namespace systest
