// The command objects against byte strings written out by hand.
#include "command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes serialized(const CIDCommand& command, uint32_t capacity = 1024) {
    Bytes buffer(capacity);
    int length = command.serialize(buffer.data(), capacity);
    if (length < 0) {
        return {};
    }
    buffer.resize(static_cast<size_t>(length));
    return buffer;
}

struct Case {
    const char* name;
    Bytes bytes;
};

TEST(CommandTest, EachCommandWritesItsExactDocument) {
    const Case cases[] = {
        {"status query", {0x0C, 0, 0, 0, 0x10, 't', 0, 1, 0, 0, 0, 0}},
        {"button down 3",
         {0x15, 0, 0, 0, 0x10, 't', 0, 8, 0, 0, 0, 0x10, 's', 'i', 'd', 0, 3, 0, 0, 0, 0}},
        {"button up 16",
         {0x15, 0, 0, 0, 0x10, 't', 0, 9, 0, 0, 0, 0x10, 's', 'i', 'd', 0, 16, 0, 0, 0, 0}},
        {"ped call 3",
         {0x15, 0, 0, 0, 0x10, 't', 0, 2, 0, 0, 0, 0x10, 's', 'i', 'd', 0, 3, 0, 0, 0, 0}},
        {"aps call 0",
         {0x15, 0, 0, 0, 0x10, 't', 0, 3, 0, 0, 0, 0x10, 's', 'i', 'd', 0, 0, 0, 0, 0, 0}},
        {"status report 65535 1", {0x1A, 0,    0,    0, 0x10, 't',  0,   5, 0, 0, 0, 0x10, 'r',
                                   0,    0xFF, 0xFF, 0, 0,    0x10, 'g', 0, 1, 0, 0, 0,    0}},
    };
    const Bytes written[] = {
        serialized(CIDINTERSECTIONSTATUSCOMMAND()), serialized(CIDButtonDownCommand(3)),
        serialized(CIDButtonUpCommand(16)),         serialized(CIDPedCallCommand(3)),
        serialized(CIDAPSCallCommand(0)),           serialized(CIDAPBSTATUSREPORT(65535, 1)),
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(written[i], cases[i].bytes) << cases[i].name;
    }
}

TEST(CommandTest, StationIdIsWrittenAsSignedInt32) {
    Bytes bytes = serialized(CIDPedCallCommand(-2));
    ASSERT_EQ(bytes.size(), 21u);
    EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.begin() + 20), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(CommandTest, TooSmallBufferGivesMinusOne) {
    uint8_t buffer[21];
    EXPECT_EQ(CIDINTERSECTIONSTATUSCOMMAND().serialize(buffer, 8), -1);
    EXPECT_EQ(CIDButtonDownCommand(3).serialize(buffer, 20), -1);
    EXPECT_EQ(CIDButtonDownCommand(3).serialize(buffer, 21), 21);
    EXPECT_EQ(CIDINTERSECTIONSTATUSCOMMAND().serialize(buffer, 12), 12);
    EXPECT_EQ(CIDINTERSECTIONSTATUSCOMMAND().serialize(buffer, 4), -1);
    EXPECT_EQ(CIDAPBSTATUSREPORT(1, 2).serialize(nullptr, 1024), -1);
}

}  // namespace
