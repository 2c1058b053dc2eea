// The exchange against an agent played by the test on 127.0.0.1, answering with chosen octets.
#include "apb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "octets.h"
#include "snmp.h"
#include "udp_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

const auto hex = octets;

const char* const OID = "1.3.6.1.4.1.1206.4.2.14.7.3";
const std::string OID_HEX = "06 0C 2B 06 01 04 01 89 36 04 02 0E 07 03";

// An element of `tag` around `content` (short-form length).
Bytes element(uint8_t tag, const Bytes& content) {
    // Sized first: GCC 12 at -O3 for 32-bit ARM warns falsely (-Warray-bounds) on an insert
    // into the two-octet header.
    Bytes out(content.size() + 2);
    out[0] = tag;
    out[1] = uint8_t(content.size());
    std::copy(content.begin(), content.end(), out.begin() + 2);
    return out;
}

// A GetResponse carrying the value element `value`; SNMPv1, request-id 359 and error-status 0
// unless other elements are given.
Bytes response(const std::string& value, const std::string& status = "02 01 00",
               const std::string& id = "02 02 01 67", const std::string& version = "02 01 00") {
    Bytes varbind = element(0x30, hex(OID_HEX + " " + value));
    Bytes pdu = hex(id + " " + status + " 02 01 00");
    Bytes list = element(0x30, varbind);
    pdu.insert(pdu.end(), list.begin(), list.end());
    Bytes message = hex(version + " 04 06 6D 6F 73 61 69 63");
    pdu = element(SNMP_GET_RESPONSE, pdu);
    message.insert(message.end(), pdu.begin(), pdu.end());
    return element(0x30, message);
}

// The station's agent: answers the first request with `answers` in turn, then stays silent.
class FakeAgent {
  public:
    explicit FakeAgent(std::vector<Bytes> answers) : answers_(std::move(answers)) {
        port = peer_.port();
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeAgent() { finish(); }
    FakeAgent(const FakeAgent&) = delete;
    FakeAgent& operator=(const FakeAgent&) = delete;

    static inline uint16_t port = 0;

    static int open(unsigned) { return _apb_connect("127.0.0.1", port); }

    // Waits for the agent to be done; the request it received.
    const Bytes& finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return request_;
    }

  private:
    void serve() {
        std::optional<Bytes> request = peer_.receive();
        if (!request) {
            return;
        }
        request_ = *request;
        for (const Bytes& answer : answers_) {
            peer_.reply(answer);
        }
    }

    std::vector<Bytes> answers_;
    Bytes request_;
    UdpPeer peer_;
    std::thread thread_;
};

struct Outcome {
    int result;
    std::string out;
    std::string err;
    Bytes request;
};

Outcome get(const std::vector<Bytes>& answers, uint32_t* value) {
    FakeAgent agent(answers);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int result = _apb_getOID(OID, 3, 359, value, FakeAgent::open);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    return {result, out, err, Bytes()};
}

Outcome set(int32_t value, const std::vector<Bytes>& answers) {
    FakeAgent agent(answers);
    Outcome outcome;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    outcome.result = _apb_setOID(OID, 3, 359, value, FakeAgent::open);
    outcome.out = ::testing::internal::GetCapturedStdout();
    outcome.err = ::testing::internal::GetCapturedStderr();
    outcome.request = agent.finish();
    return outcome;
}

int dumps(const std::string& out) {
    int count = 0;
    for (size_t at = out.find("=====\n"); at != std::string::npos;
         at = out.find("=====\n", at + 1)) {
        count++;
    }
    return count;
}

TEST(ApbGet, ReadsTheValueOfTheResponse) {
    struct Case {
        std::string value;
        uint32_t expected;
    } cases[] = {
        {"02 01 2A", 42},
        {"02 01 FF", 0xFFFFFFFF},  // an agent's minimal form of -1
        {"02 05 00 FF FF FF FF", 0xFFFFFFFF},
        {"02 02 00 FF", 255},
    };
    for (const Case& c : cases) {
        uint32_t value = 0;
        Outcome outcome = get({response(c.value)}, &value);
        EXPECT_EQ(outcome.result, 0) << c.value << outcome.err;
        EXPECT_EQ(value, c.expected) << c.value;
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(
            outcome.out.rfind("Using OID: 1.3.6.1.4.1.1206.4.2.14.7.3\nID is: 3\nLength: ", 0), 0u)
            << outcome.out;
        EXPECT_NE(outcome.out.find("Value: " + std::to_string(c.expected) + "\n"),
                  std::string::npos);
        EXPECT_EQ(dumps(outcome.out), 2);
    }
}

TEST(ApbExchange, OnlyTheAnswerToThisRequestCounts) {
    Bytes right = response("02 01 2A");
    Bytes echo = right;
    echo[13] = SNMP_SET_REQUEST;
    Bytes stale = response("02 01 07"), otherCommunity = stale, otherObject = stale;
    stale[18] = 0x68;
    otherCommunity[12] = 'k';
    otherObject[42] = 0x04;
    struct Case {
        Bytes ignored;
        std::string why;
    } cases[] = {
        {echo, "PDU type 163 is no GetResponse"},
        {stale, "it answers another request-id than 359"},
        {otherCommunity, "another community"},
        {otherObject, "another object identifier"},
        {Bytes(right.begin(), right.end() - 2), "message is longer than the octets received"},
        {Bytes(), "message is longer than the octets received"},
        // Five octets that a cut to 32 bits would read as 359, noError and 42.
        {response("02 01 2A", "02 01 00", "02 05 01 00 00 01 67"),
         "request-id is no INTEGER of 32 bits"},
        {response("02 01 2A", "02 05 01 00 00 00 00"), "error-status is no INTEGER of 32 bits"},
        {response("02 05 01 00 00 00 2A"), "value is no INTEGER of 32 bits"},
        {response("02 01 2A", "02 01 00", "02 02 01 67", "02 01 01"), "version is not 0 (SNMPv1)"},
    };
    std::vector<Bytes> ignored;
    std::string lines;
    for (const Case& c : cases) {
        std::string line = "Ignored a datagram of " + std::to_string(c.ignored.size()) +
                           " octets: " + c.why + "\n";
        uint32_t value = 0;
        Outcome outcome = get({c.ignored, right}, &value);
        EXPECT_EQ(outcome.result, 0) << line;
        EXPECT_EQ(value, 42u) << line;
        EXPECT_EQ(outcome.err, line);
        EXPECT_EQ(dumps(outcome.out), 2) << line;  // the request's and the answer's only
        ignored.push_back(c.ignored);
        lines += line;
    }
    // Without the answer, the wait ends as for a silent agent; the echo confirms no set.
    Outcome outcome = set(42, ignored);
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(
        outcome.err,
        lines + "Did not or could not receive the message:\nResource temporarily unavailable\n");
}

TEST(ApbExchange, RefusedResponsesAreFailuresWithTheirReason) {
    struct Case {
        const char* what;
        Bytes answer;
        const char* getError;
        int responseDumps;
    } cases[] = {
        {"error-status 2", response("05 00", "02 01 02"), "SNMP error received\n", 2},
        {"string value", response("04 02 68 69"),
         "Response value is not an INTEGER but of type 4\n", 2},
        {"null value", response("05 00"), "Response value is not an INTEGER but of type 5\n", 2},
    };
    for (const Case& c : cases) {
        uint32_t value = 12345;
        Outcome outcome = get({c.answer}, &value);
        EXPECT_EQ(outcome.result, -1) << c.what;
        EXPECT_EQ(outcome.err, c.getError) << c.what;
        EXPECT_EQ(dumps(outcome.out), c.responseDumps) << c.what;
        EXPECT_EQ(value, 12345u) << c.what;

        outcome = set(0, {c.answer});
        EXPECT_EQ(outcome.result, -1) << c.what;
        EXPECT_EQ(outcome.err, std::string(c.getError) + "Set Request was not correctly accepted\n")
            << c.what;
    }
}

TEST(ApbSet, ConfirmedWhenTheThirtyTwoBitPatternsAgree) {
    struct Case {
        int32_t sent;
        std::string answered;
        bool confirmed;
    } cases[] = {
        {5, "02 01 05", true},
        {5, "02 01 06", false},
        {-1, "02 05 00 FF FF FF FF", true},
        {-1, "02 01 FF", true},
        {-1, "02 02 00 FF", false},
        {-5, "02 01 FB", true},
        {42, "02 01 2A", true},
        {INT32_MIN, "02 04 80 00 00 00", true},
    };
    for (const Case& c : cases) {
        Outcome outcome = set(c.sent, {response(c.answered)});
        EXPECT_EQ(outcome.result, c.confirmed ? 0 : -1) << c.sent << " " << c.answered;
        EXPECT_EQ(outcome.err, c.confirmed ? ""
                                           : "Set value was not what was expected\n"
                                             "Set Request was not correctly accepted\n");
        EXPECT_NE(outcome.out.find("ID is: 3\nValue is: " + std::to_string(c.sent) + "\n"),
                  std::string::npos);
    }
}

TEST(ApbSet, SendsTheValueAsTheRequestsLastElement) {
    Outcome outcome = set(-1, {response("02 01 FF")});
    Bytes value = hex("02 05 00 FF FF FF FF");
    ASSERT_GE(outcome.request.size(), value.size());
    EXPECT_EQ(Bytes(outcome.request.end() - long(value.size()), outcome.request.end()), value);
    EXPECT_EQ(outcome.request[13], SNMP_SET_REQUEST);
    EXPECT_EQ(snmp_checkMessage(outcome.request.data(), outcome.request.size(), nullptr), SNMP_OK);
}

TEST(ApbOpen, StationsOutsideTheRangeHaveNoAddress) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(apb_openSocket(17), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Could not get APB sockaddr\n");
}

TEST(ApbExchange, NoAgentListeningFailsWithTheSystemError) {
    // Bound, then closed again: nothing listens on that port of the loopback.
    FakeAgent::port = UdpPeer().port();

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    uint32_t value;
    EXPECT_EQ(_apb_getOID(OID, 3, 359, &value, FakeAgent::open), -1);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Did not or could not receive the message:\nConnection refused\n");
    EXPECT_EQ(dumps(out), 1);
}

}  // namespace
