#include "pages.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "display.h"
#include "thrown.h"

namespace {

const char N = GLYPH_NONE;

// Bit n - 1 as `on` says and every other bit the opposite, so that a character taken from the
// wrong bit shows.
uint16_t onlyBit(unsigned n, bool on) {
    uint16_t bit = static_cast<uint16_t>(1u << (n - 1));
    return on ? bit : static_cast<uint16_t>(~bit);
}

IntersectionStatus phaseStatus(unsigned phase, bool w, bool dw, bool pc) {
    IntersectionStatus status;
    status.w = static_cast<uint8_t>(onlyBit(phase, w));
    status.dw = static_cast<uint8_t>(onlyBit(phase, dw));
    status.pc = static_cast<uint8_t>(onlyBit(phase, pc));
    return status;
}

TEST(SignalCharTest, FollowsTheTruthTableForEveryPhase) {
    struct Row {
        bool w, dw, pc;
        char expected;
    } rows[] = {{0, 0, 0, N},   {0, 0, 1, 'F'}, {0, 1, 0, 'D'}, {0, 1, 1, '?'},
                {1, 0, 0, 'W'}, {1, 0, 1, '?'}, {1, 1, 0, 'C'}, {1, 1, 1, '?'}};
    for (const Row& row : rows) {
        for (unsigned phase = 1; phase <= 8; ++phase) {
            EXPECT_EQ(phaseStatus(phase, row.w, row.dw, row.pc).signalChar(phase), row.expected)
                << "w " << row.w << " dw " << row.dw << " pc " << row.pc << " phase " << phase;
        }
    }
}

TEST(CallCharTest, VokCallWinsOverPedestrianCall) {
    struct Row {
        bool vok, ped;
        char expected;
    } rows[] = {{0, 0, N}, {0, 1, 'P'}, {1, 0, 'A'}, {1, 1, 'A'}};
    for (const Row& row : rows) {
        for (unsigned phase = 1; phase <= 8; ++phase) {
            IntersectionStatus status;
            status.vokcall = static_cast<uint8_t>(onlyBit(phase, row.vok));
            status.pcall = static_cast<uint8_t>(onlyBit(phase, row.ped));
            status.apscall = status.papscall = 0xFF;  // never shown
            EXPECT_EQ(status.callChar(phase), row.expected) << "phase " << phase;
        }
    }
}

TEST(StationCharTest, FollowsTheTruthTableForAllSixteenStations) {
    struct Row {
        bool good, bad;
        char expected;
    } rows[] = {{0, 0, N}, {0, 1, GLYPH_BAD}, {1, 0, GLYPH_GOOD}, {1, 1, '?'}};
    for (const Row& row : rows) {
        for (unsigned station = 1; station <= 16; ++station) {
            IntersectionStatus status;
            status.sg = onlyBit(station, row.good);
            status.sr = onlyBit(station, row.bad);
            status.sp = 0xFFFF;  // never shown
            EXPECT_EQ(status.stationChar(station), row.expected) << "station " << station;
        }
    }
}

TEST(AccessorsTest, NumbersOutOfRangeAreLogicErrors) {
    IntersectionStatus status;
    for (unsigned phase : {0u, 9u, 4294967295u}) {
        EXPECT_EQ(messageOf<std::logic_error>([&] { status.signalChar(phase); }),
                  "Invalid phase number requested.")
            << "phase " << phase;
        EXPECT_EQ(messageOf<std::logic_error>([&] { status.callChar(phase); }),
                  "Invalid phase number requested.")
            << "phase " << phase;
    }
    for (unsigned station : {0u, 17u, 4294967295u}) {
        EXPECT_EQ(messageOf<std::logic_error>([&] { status.stationChar(station); }),
                  "Invalid station ID number requested.")
            << "station " << station;
    }
}

TEST(PageTextTest, SigPageShowsWalkAndDontWalkUnderThePhaseDigits) {
    IntersectionStatus status;
    status.w = 0x01;
    status.dw = 0xFE;
    EXPECT_EQ(pageText(2, '/', status), "Phase   12345678\nSig /   WDDDDDDD");
}

TEST(PageTextTest, StationPageShowsOneGlyphPerStation) {
    IntersectionStatus status;
    status.sg = 0x0003;
    status.sr = 0x0004;
    std::string line2 = std::string(2, GLYPH_GOOD) + GLYPH_BAD + std::string(13, N);
    EXPECT_EQ(pageText(1, '\\', status), "1 \\ Station   16\n" + line2);
}

TEST(PageTextTest, CallsPageShowsCallsUnderThePhaseDigits) {
    IntersectionStatus status;
    status.pcall = 0x81;
    status.vokcall = 0x03;
    EXPECT_EQ(pageText(3, '/', status), "Phase   12345678\nCalls / AA" + std::string(5, N) + "P");
}

TEST(PageTextTest, EveryPageIsTwoLinesOfSixteen) {
    IntersectionStatus status;
    for (uint32_t page = 0; page <= 4; ++page) {
        std::string text = pageText(page, '/', status);
        ASSERT_EQ(text.size(), 33u) << "page " << page;
        EXPECT_EQ(text[16], '\n') << "page " << page;
    }
    EXPECT_EQ(BLANK_SCREEN, std::string(16, ' ') + "\n" + std::string(16, ' '));
}

TEST(HeartbeatTest, OddCountsShowSlashEvenBackslash) {
    EXPECT_EQ(heartbeatChar(1), '/');
    EXPECT_EQ(heartbeatChar(2), '\\');
    EXPECT_EQ(heartbeatChar(4294967295u), '/');
    EXPECT_EQ(heartbeatChar(0), '\\');  // after the wrap
}

TEST(NextPageTest, PressesCycleOneTwoThreeAndLeaveBlankForOne) {
    EXPECT_EQ(nextPage(0), 1u);
    EXPECT_EQ(nextPage(1), 2u);
    EXPECT_EQ(nextPage(2), 3u);
    EXPECT_EQ(nextPage(3), 1u);
    EXPECT_EQ(nextPage(4), 0u);
    EXPECT_EQ(nextPage(4294967295u), 0u);
}

// Renders that need no CID: the display is the write end of a pipe.
class RenderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pipe2(ends_, O_CLOEXEC), 0); }
    void TearDown() override { close(ends_[0]); }
    std::string frame() {
        char buffer[64];
        ssize_t n = read(ends_[0], buffer, sizeof buffer);
        return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }
    int ends_[2];
};

TEST_F(RenderTest, BlankPageIsCountedButShowsNoHeartbeat) {
    I2CDisplay display = I2CDisplay::adopt(ends_[1]);
    uint32_t before = renderCount;
    renderPage(0, display);
    EXPECT_EQ(renderCount, before + 1);
    EXPECT_EQ(frame(), std::string(1, '\x01') + BLANK_SCREEN + std::string(1, '\0'));
}

TEST_F(RenderTest, UnknownPageBlanksAndSaysSo) {
    I2CDisplay display = I2CDisplay::adopt(ends_[1]);
    testing::internal::CaptureStderr();
    renderPage(5, display);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unkown state: 5\n");
    EXPECT_EQ(frame(), std::string(1, '\x01') + BLANK_SCREEN + std::string(1, '\0'));
    testing::internal::CaptureStderr();
    renderPage(4294967295u, display);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unkown state: -1\n");
}

}  // namespace
