// sigstat, the real binary, against a CID played by the test.
#include <sched.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"

namespace systest {
namespace {

const std::string MAIN_LINE = "main: Unable to get intersection data\n";

using Keys = std::vector<std::pair<std::string, int32_t>>;

const Keys STATUS = {{"w", 1},        {"dw", 254},     {"pc", 0},     {"pcall", 4},
                     {"papscall", 8}, {"vokcall", 16}, {"sr", 32768}, {"sg", 3}};

Bytes document(const Keys& keys) {
    return intDocument(keys);
}

const Bytes STATUS_QUERY = {0x0c, 0, 0, 0, 0x10, 0x74, 0, 1, 0, 0, 0, 0};

// Moves this test into a network namespace of its own whose loopback is down, so that there is
// no route to 127.0.0.1 and connecting fails.
void noRouteToCid() {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
}

class SigstatTest : public SystemTest {
  protected:
    // Runs sigstat with `args`; answers its query with `answer` unless it is empty.
    Result ask(const std::vector<std::string>& args, const Bytes& answer) {
        UdpEndpoint cid("127.0.0.1", 5000);
        std::vector<std::string> argv{program("sigstat")};
        argv.insert(argv.end(), args.begin(), args.end());
        Process sigstat(argv);
        auto query = cid.receive(3s);
        EXPECT_TRUE(query);
        if (query) {
            EXPECT_EQ(hex(*query), hex(STATUS_QUERY));
        }
        if (!answer.empty()) {
            cid.reply(answer);
        }
        return sigstat.wait(5s);
    }
};

TEST_F(SigstatTest, EachFormOfAKnownStatus) {
    const Bytes status = document(STATUS);
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, "Ped: ^XXXXXXX\n"},
        {{"--nifty"}, "Ped: ^XXXXXXX\n"},
        {{"--whatever", "--hex"}, "Ped: ^XXXXXXX\n"},
        {{"--hex"}, "01 FE 00\n"},
        {{"--xml"},
         "<dw>254</dw>\n<walk>1</walk>\n<clear>0</clear>\n<pcalls>4</pcalls>\n"
         "<apscalls>8</apscalls>\n<vokcalls>16</vokcalls>\n<bads>32768</bads>\n<goods>3</goods>\n"},
        {{"--json"},
         "{\n \"w\": 1,\n \"dw\": 254,\n \"pc\": 0,\n \"pcall\": 4,\n \"papscall\": 8,\n"
         " \"vokcall\": 16,\n \"sr\": 32768,\n \"sg\": 3\n}\n"},
        {{"--binary"}, std::string(status.begin(), status.end())},
    };
    for (const auto& c : cases) {
        Result result = ask(c.args, status);
        SCOPED_TRACE(c.args.empty() ? "default" : c.args[0]);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

TEST_F(SigstatTest, ExtraKeysAreAcceptedAndShownAsText) {
    Keys keys = STATUS;
    keys.insert(keys.begin(), {"apscall", 77});
    Result result = ask({"--json"}, document(keys));
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find(" \"apscall\": 77,\n"), std::string::npos) << result.out;
}

TEST_F(SigstatTest, MissingKeyFailsEveryForm) {
    Keys keys(STATUS.begin(), STATUS.end() - 1);  // no "sg"
    for (const char* form : {"--nifty", "--hex", "--xml", "--json", "--binary"}) {
        Result result = ask({form}, document(keys));
        EXPECT_EQ(result.status, 255) << form;
        EXPECT_EQ(result.out, "") << form;
        EXPECT_EQ(result.err,
                  "cid_getIntersecionData: CID message doesn't contain info.\n" + MAIN_LINE);
    }
}

TEST_F(SigstatTest, UntrustworthyAnswersAreRefused) {
    Bytes mistyped = document(STATUS);
    mistyped[4] = 0x01;  // "w" becomes a double
    Bytes tooLarge(1024, 0);
    tooLarge[1] = 0x04;
    Bytes shortPrefix = document(STATUS);
    shortPrefix[0] -= 1;
    Bytes lying = document(STATUS);
    lying[4] = 0x02;  // "w" becomes a string claiming two gigabytes
    lying[10] = 0x7F;
    const struct {
        const char* name;
        Bytes answer;
        std::string message;
    } cases[] = {
        {"mistyped", mistyped, "CID message doesn't contain info."},
        {"1024 bytes", tooLarge, "CID response was too large"},
        {"prefix disagrees", shortPrefix, "CID message size doesn't make sense"},
        {"element runs past the end", lying, "CID message doesn't contain info."},
    };
    for (const auto& c : cases) {
        Result result = ask({"--json"}, c.answer);
        EXPECT_EQ(result.status, 255) << c.name;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_EQ(result.err, "cid_getIntersecionData: " + c.message + "\n" + MAIN_LINE);
    }
}

TEST_F(SigstatTest, NoAnswerWithinOneSecondFails) {
    auto start = std::chrono::steady_clock::now();
    Result result = ask({"--hex"}, {});
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err,
              "cid_getIntersecionData: Unable to recv CID request:\n"
              "cid_getIntersecionData: Resource temporarily unavailable\n" +
                  MAIN_LINE);
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3s);
}

TEST_F(SigstatTest, SocketAndReceiveFailuresEndWithTheMainLine) {
    // Nothing on port 5000: the query goes out, the receive is refused.
    Result refused = run({program("sigstat"), "--hex"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "cid_getIntersecionData: Unable to recv CID request:\n"
              "cid_getIntersecionData: Connection refused\n" +
                  MAIN_LINE);
    noRouteToCid();
    Result unreachable = run({program("sigstat"), "--xml"});
    EXPECT_EQ(unreachable.status, 255);
    EXPECT_EQ(unreachable.out, "");
    EXPECT_EQ(unreachable.err,
              "cid_getSocket: Unable to connect to CID host:\n"
              "cid_getSocket: Network is unreachable\n" +
                  MAIN_LINE);
}

TEST_F(SigstatTest, ShortWriteOfTheRawFormFails) {
    UdpEndpoint cid("127.0.0.1", 5000);
    // Standard output is a full pipe-less file: /dev/full refuses every write.
    Process sigstat({"/bin/sh", "-c", "exec " + program("sigstat") + " --binary >/dev/full"});
    ASSERT_TRUE(cid.receive(3s));
    cid.reply(document(STATUS));
    Result result = sigstat.wait(5s);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "main: Write didn't write the correct amount\n");
}

TEST_F(SigstatTest, RawFormPipesIntoBsoncat) {
    UdpEndpoint cid("127.0.0.1", 5000);
    Process pipeline({"/bin/sh", "-c", program("sigstat") + " --binary | " + program("bsoncat")});
    ASSERT_TRUE(cid.receive(3s));
    cid.reply(document(STATUS));
    Result result = pipeline.wait(5s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "{\n \"w\": 1,\n \"dw\": 254,\n \"pc\": 0,\n \"pcall\": 4,\n \"papscall\": 8,\n"
              " \"vokcall\": 16,\n \"sr\": 32768,\n \"sg\": 3\n}\n");
}

// True once some socket of this namespace is bound to UDP 127.0.0.1:5000.
bool cidListening(Millis limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (readFile("/proc/net/udp").find("0100007F:1388") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TEST_F(SigstatTest, AgainstTheCidSimulator) {
    const struct {
        std::vector<std::string> options;
        int status;
        std::string errTail;
    } cases[] = {
        {{}, 0, ""},
        {{"--omit", "sg"}, 255, "CID message doesn't contain info.\n" + MAIN_LINE},
        {{"--wrong-type", "w"}, 255, "CID message doesn't contain info.\n" + MAIN_LINE},
        {{"--oversize"}, 255, "CID response was too large\n" + MAIN_LINE},
        {{"--silent"}, 255, "Resource temporarily unavailable\n" + MAIN_LINE},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{program("cidsim"), "--quiet"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        Process cidsim(argv);
        ASSERT_TRUE(cidListening(5s));
        Result result = run({program("sigstat"), "--xml"});
        SCOPED_TRACE(c.options.empty() ? "well-behaved" : c.options[0]);
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.status == 0) {
            EXPECT_EQ(result.out.rfind("<dw>", 0), 0u) << result.out;
            EXPECT_NE(result.out.find("<goods>65535</goods>\n"), std::string::npos) << result.out;
        } else {
            EXPECT_TRUE(result.err.ends_with(c.errTail)) << result.err;
        }
    }
}

}  // namespace
}  // namespace systest
