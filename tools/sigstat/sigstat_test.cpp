#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bson.h"
#include "bson_writer.h"
#include "capture.h"
#include "sigstat.h"

namespace {

const auto answer = testbson::intDocument;

std::vector<uint8_t> fullAnswer() {
    return answer({{"w", 1},
                   {"dw", 254},
                   {"pc", 0},
                   {"pcall", 4},
                   {"papscall", 8},
                   {"vokcall", 16},
                   {"sr", 0x8001},
                   {"sg", 0x7FFE}});
}

std::string written(sigstat_form form, const cid_status& status) {
    return captured([&](FILE* stream) { sigstat_write(stream, form, &status); });
}

TEST(Sigstat, SummarySymbolFollowsExactlyOneOfWalkDontWalkClear) {
    // Phase n carries row n - 1 of the table: bit 2 walk, bit 1 don't walk, bit 0 clearance.
    cid_status status{};
    for (int row = 0; row < 8; ++row) {
        if (row & 4)
            status.value[CID_W] |= 1 << row;
        if (row & 2)
            status.value[CID_DW] |= 1 << row;
        if (row & 1)
            status.value[CID_PC] |= 1 << row;
    }
    char symbols[9];
    sigstat_summary(&status, symbols);
    EXPECT_STREQ(symbols, "?/X?^???");
}

TEST(Sigstat, FormsOfAKnownStatus) {
    cid_status status{};
    auto bytes = fullAnswer();
    ASSERT_EQ(sigstat_parse(bytes.data(), bytes.size(), &status), 0);
    EXPECT_EQ(written(SIGSTAT_NIFTY, status), "Ped: ^XXXXXXX\n");
    EXPECT_EQ(written(SIGSTAT_HEX, status), "01 FE 00\n");
    EXPECT_EQ(written(SIGSTAT_XML, status),
              "<dw>254</dw>\n<walk>1</walk>\n<clear>0</clear>\n<pcalls>4</pcalls>\n"
              "<apscalls>8</apscalls>\n<vokcalls>16</vokcalls>\n<bads>32769</bads>\n"
              "<goods>32766</goods>\n");
}

TEST(Sigstat, HexFormShowsAllBitsOfWideOrNegativeMasks) {
    cid_status status{};
    status.value[CID_W] = -1;
    status.value[CID_DW] = 0x1234;
    status.value[CID_PC] = 10;
    EXPECT_EQ(written(SIGSTAT_HEX, status), "FFFFFFFF 1234 0A\n");
}

TEST(Sigstat, FirstArgumentChoosesTheForm) {
    const struct {
        const char* argument;
        sigstat_form form;
    } cases[] = {
        {nullptr, SIGSTAT_NIFTY},  {"--nifty", SIGSTAT_NIFTY}, {"--hex", SIGSTAT_HEX},
        {"--xml", SIGSTAT_XML},    {"--json", SIGSTAT_JSON},   {"--binary", SIGSTAT_BINARY},
        {"--HEX", SIGSTAT_NIFTY},  {"hex", SIGSTAT_NIFTY},     {"", SIGSTAT_NIFTY},
        {"--xml2", SIGSTAT_NIFTY},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sigstat_chooseForm(c.argument), c.form) << (c.argument ? c.argument : "none");
    }
}

TEST(Sigstat, RefusesAnswersItCannotTrust) {
    auto good = fullAnswer();
    auto noSg = answer({{"w", 1},
                        {"dw", 254},
                        {"pc", 0},
                        {"pcall", 4},
                        {"papscall", 8},
                        {"vokcall", 16},
                        {"sr", 1}});
    auto lying = good;
    lying[4] = 0x02;  // "w" becomes a string whose length runs far past the end
    lying[10] = 0x7F;
    std::vector<uint8_t> big(1024, 0);
    big[0] = 0x00;
    big[1] = 0x04;
    std::vector<uint8_t> shortPrefix = good;
    shortPrefix[0] = static_cast<uint8_t>(good.size() - 1);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {"missing sg", noSg, "CID message doesn't contain info."},
        {"element runs past end", lying, "CID message doesn't contain info."},
        {"1024 bytes", big, "CID response was too large"},
        {"prefix disagrees", shortPrefix, "CID message size doesn't make sense"},
        {"three bytes", {5, 0, 0}, "CID message size doesn't make sense"},
    };
    for (const auto& c : cases) {
        cid_status status{};
        testing::internal::CaptureStderr();
        EXPECT_EQ(sigstat_parse(c.bytes.data(), c.bytes.size(), &status), -1) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("cid_getIntersecionData: ") + c.message + "\n")
            << c.name;
    }
}

}  // namespace
