// Reception and decoding of station events, over socket pairs.
#include "event.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "bson_writer.h"

namespace {

using namespace testbson;
const auto ints = intDocument;

class Pair {
  public:
    Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds_); }
    ~Pair() {
        closeWriter();
        close(fds_[0]);
    }
    int reader() const { return fds_[0]; }
    void write(const Bytes& bytes) const {
        ASSERT_EQ(::write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void closeWriter() {
        if (fds_[1] >= 0) {
            close(fds_[1]);
            fds_[1] = -1;
        }
    }

  private:
    int fds_[2] = {-1, -1};
};

bool isValid(const Bytes& document) {
    return !(decodeEvent(document.data(), static_cast<uint32_t>(document.size())) == nullEvent);
}

TEST(DecodeEventTest, AcceptsOnlyIntegerSidUpTo16AndEventUpTo5) {
    Bytes stringSid(4, 0);
    appendString(stringSid, "sid", "3");
    appendInt(stringSid, "e", 1);
    Bytes stringEvent(4, 0);
    appendInt(stringEvent, "sid", 3);
    appendString(stringEvent, "e", "1");
    const struct {
        const char* name;
        Bytes document;
        bool valid;
    } cases[] = {
        {"highest ids", ints({{"sid", 16}, {"e", 5}}), true},
        {"lowest ids", ints({{"sid", 0}, {"e", 0}}), true},
        {"order and extra keys free", ints({{"e", 4}, {"sid", 1}, {"x", 9}}), true},
        {"sid 17", ints({{"sid", 17}, {"e", 1}}), false},
        {"event 6", ints({{"sid", 3}, {"e", 6}}), false},
        {"negative sid", ints({{"sid", -1}, {"e", 1}}), false},
        {"negative event", ints({{"sid", 1}, {"e", -2147483647 - 1}}), false},
        {"no sid", ints({{"e", 1}}), false},
        {"no event", ints({{"sid", 2}}), false},
        {"names only begin alike", ints({{"sidx", 2}, {"ev", 1}}), false},
        {"sid is a string", finishDocument(stringSid), false},
        {"e is a string", finishDocument(stringEvent), false},
        {"empty document", ints({}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValid(c.document), c.valid) << c.name;
    }
}

TEST(DecodeEventTest, CarriesStationAndTypeAndNumbersEveryDecode) {
    APBEvent first = decodeEvent(ints({{"sid", 7}, {"e", 2}}).data(), 21);
    EXPECT_EQ(first.stationId, 7);
    EXPECT_EQ(first.type, 2);
    EXPECT_GE(first.serial, 2);
    Bytes invalid = ints({{"sid", 99}, {"e", 2}});
    EXPECT_EQ(decodeEvent(invalid.data(), 21), nullEvent);
    APBEvent third = decodeEvent(ints({{"sid", 7}, {"e", 2}}).data(), 21);
    EXPECT_EQ(third.serial, first.serial + 2) << "an invalid message uses up its serial";
    EXPECT_EQ(serialAfter(INT32_MAX), 2) << "wraps past nullEvent's 0";
}

TEST(DecodeEventTest, StaysInsideTheReceivedBytes) {
    Bytes valid = ints({{"sid", 3}, {"e", 4}});
    Bytes lyingString = {0x16, 0, 0,   0, 0x02, 's', 'i', 'd', 0, 0xFF, 0xFF,
                         0,    0, 'x', 0, 0x10, 'e', 0,   1,   0, 0,    0};
    Bytes noTerminator(valid.begin(), valid.end() - 1);
    noTerminator.push_back(0x10);
    Bytes longerPrefix = valid;
    longerPrefix[0] = 200;
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"length 4 holds no terminator", {4, 0, 0, 0}},
        {"string length runs past the end", lyingString},
        {"last byte is not a terminator", noTerminator},
        {"prefix claims more than arrived", longerPrefix},
        {"body cut short", Bytes(valid.begin(), valid.end() - 5)},
    };
    for (const auto& c : cases) {
        // An exactly sized heap copy, so that AddressSanitizer sees any read past it.
        std::vector<uint8_t> exact(c.bytes);
        EXPECT_EQ(decodeEvent(exact.data(), static_cast<uint32_t>(exact.size())), nullEvent)
            << c.name;
    }
}

TEST(ReceiveTest, MessagesArrivingByteByByteAreReassembled) {
    Pair pair;
    Bytes sent = ints({{"sid", 3}, {"e", 4}});
    std::thread writer([&] {
        for (uint8_t byte : sent) {
            pair.write({byte});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pair.closeWriter();
    });
    StationStream stream(pair.reader());
    APBEvent event = nullEvent;
    EXPECT_EQ(receiveEvent(stream, event), Received::EVENT);
    EXPECT_EQ(event.stationId, 3);
    EXPECT_EQ(event.type, 4);
    EXPECT_EQ(receiveEvent(stream, event), Received::END);
    writer.join();
}

// What receiveEvent makes of the bytes that a station sends, then closes.
struct ReceivedFrom {
    Received outcome;
    std::string log;
};

ReceivedFrom receiveFrom(const Bytes& sent) {
    Pair pair;
    pair.write(sent);
    pair.closeWriter();
    testing::internal::CaptureStderr();
    APBEvent event = nullEvent;
    StationStream stream(pair.reader());
    Received outcome = receiveEvent(stream, event);
    std::string log = testing::internal::GetCapturedStderr();
    return {outcome, log};
}

// A valid event padded with a string element to `size` bytes.
Bytes padded(size_t size) {
    Bytes doc(4, 0);
    appendInt(doc, "sid", 1);
    appendInt(doc, "e", 1);
    appendString(doc, "pad", std::string(size - 31, 'x'));
    return finishDocument(doc);
}

TEST(ReceiveTest, EachOutcomeLogsItsLines) {
    using enum Received;
    const std::string receiving = "]Error recieving BSON document\n";
    const std::string decoding = "]Error desierializing bson document\n";
    const struct {
        const char* name;
        Bytes sent;
        Received outcome;
        std::vector<std::string> lines;
    } cases[] = {
        {"valid", ints({{"sid", 3}, {"e", 4}}), EVENT, {}},
        {"1024 bytes", padded(1024), EVENT, {}},
        {"closed between messages", {}, END, {}},
        {"two length bytes", {9, 0}, FAILED, {"]Error receiving message-", receiving}},
        {"length 1025", padded(1025), FAILED, {"]BSON document too long\n", receiving}},
        {"length 4", {4, 0, 0, 0}, FAILED, {"]BSON document too long\n"}},
        {"length 0", {0, 0, 0, 0}, FAILED, {"]BSON document too long\n"}},
        {"negative length", {0xF0, 0xFF, 0xFF, 0xFF}, FAILED, {"]BSON document too long\n"}},
        {"truncated body",
         {21, 0, 0, 0, 0x10},
         FAILED,
         {"]Received bytes doesn't match indicated length-", receiving}},
        {"empty document", ints({}), SKIPPED, {decoding}},
        {"sid 17", ints({{"sid", 17}, {"e", 1}}), SKIPPED, {decoding}},
    };
    for (const auto& c : cases) {
        ReceivedFrom received = receiveFrom(c.sent);
        EXPECT_EQ(received.outcome, c.outcome) << c.name;
        size_t at = 0;
        for (const std::string& line : c.lines) {
            size_t found = received.log.find(line, at);
            EXPECT_NE(found, std::string::npos) << c.name << ": " << line << " in\n"
                                                << received.log;
            at = found == std::string::npos ? at : found;
        }
        if (c.lines.empty()) {
            EXPECT_EQ(received.log, "") << c.name;
        }
    }
}

TEST(ReceiveTest, AMessageAcrossTheBufferEndIsReassembled) {
    // 48 messages of 21 bytes leave 16 bytes of room for the next one, of 1024 bytes.
    Bytes sent;
    for (const Bytes& doc : std::vector<Bytes>(48, ints({{"sid", 5}, {"e", 4}}))) {
        sent.insert(sent.end(), doc.begin(), doc.end());
    }
    for (const Bytes& doc : {padded(1024), ints({{"sid", 6}, {"e", 2}})}) {
        sent.insert(sent.end(), doc.begin(), doc.end());
    }
    Pair pair;
    pair.write(sent);
    pair.closeWriter();
    StationStream stream(pair.reader());
    APBEvent event = nullEvent;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(receiveEvent(stream, event), Received::EVENT) << i;
    }
    EXPECT_EQ(event.stationId, 6);
    EXPECT_EQ(receiveEvent(stream, event), Received::END);
}

}  // namespace
