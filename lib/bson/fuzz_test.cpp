// Feeds random and mutated byte strings to bson_check and the cursor and, whenever they accept,
// to every reader and the printer. Each input sits in a heap block of exactly its size, so under
// ASan any read past the bytes held is caught. The generator is seeded: every run sees the same
// inputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bson.h"
#include "bson_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Walks the document with every reader, checking that nothing points outside [begin, end).
void readAll(const uint8_t* document, const uint8_t* begin, const uint8_t* end) {
    ASSERT_LE(document + bson_length(document), end);
    for (const uint8_t* e = bson_firstElement(document); e != nullptr; e = bson_nextElement(e)) {
        ASSERT_GE(e, begin);
        ASSERT_LT(e, end);
        uint32_t size = bson_elementSize(e);
        ASSERT_TRUE(size == 0 || e + size < end);
        char name[BSON_NAME_SCAN + 1] = {};
        std::strncpy(name, reinterpret_cast<const char*>(e + 1), BSON_NAME_SCAN);
        EXPECT_NE(bson_find(document, name), nullptr);
        int32_t i;
        double d;
        const char* text;
        const uint8_t* embedded;
        bson_getInt(e, &i);
        bson_getDouble(e, &d);
        if (bson_getString(e, &text) == 0) {
            ASSERT_LT(reinterpret_cast<const uint8_t*>(text) + std::strlen(text), end);
        }
        if (bson_getDocument(e, &embedded) == 0) {
            readAll(embedded, begin, end);
        }
    }
}

// The cursor's walk ends as the check does and, on sound bytes, hands out what the readers of
// element pointers read.
void walkWithCursor(const uint8_t* document, uint32_t size, int checked) {
    bson_cursor cursor;
    bson_element element;
    const uint8_t* e = checked == 0 ? bson_firstElement(document) : nullptr;
    int result = bson_cursorInit(&cursor, document, size);
    while (result == 0 && (result = bson_cursorNext(&cursor, &element)) == 1) {
        result = 0;
        if (checked == 0) {
            ASSERT_NE(e, nullptr);
            ASSERT_EQ(reinterpret_cast<const uint8_t*>(element.name), e + 1);
            EXPECT_EQ(element.size, bson_elementSize(e));
            int32_t byCursor = 0;
            int32_t byPointer = 0;
            EXPECT_EQ(bson_elementInt(&element, &byCursor), bson_getInt(e, &byPointer));
            EXPECT_EQ(byCursor, byPointer);
            e = bson_nextElement(e);
        }
    }
    EXPECT_EQ(result, checked);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(bson_cursorNext(&cursor, &element), checked);  // the end, or the failure, stays
}

// Returns whether the check accepted; if so the readers and the printer have been run.
bool exercise(const Bytes& input, FILE* sink) {
    // An exact-size copy, so that the block ends where the bytes held end.
    std::vector<uint8_t> held(input);
    held.shrink_to_fit();
    auto size = static_cast<uint32_t>(held.size());
    const int checked = bson_check(held.data(), size);
    walkWithCursor(held.data(), size, checked);
    if (checked != 0) {
        return false;
    }
    readAll(held.data(), held.data(), held.data() + size);
    EXPECT_EQ(bson_print(sink, held.data()), 0);
    return true;
}

// Seeds: documents written by the builder, covering every type, both levels, long names.
std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    std::string longName(127, 'n');
    for (int variant = 0; variant < 4; ++variant) {
        uint8_t buffer[512];
        bson_builder b;
        bson_init(&b, buffer, sizeof buffer);
        bson_appendInt(&b, "t", variant);
        bson_appendString(&b, "s", variant % 2 ? "" : "text\n\"quoted\"");
        bson_beginDocument(&b, "sub");
        bson_appendDouble(&b, "d", 1.5 * variant);
        bson_beginDocument(&b, variant == 3 ? longName.c_str() : "inner");
        bson_appendNull(&b, "n");
        bson_appendInt(&b, "i", -variant);
        bson_endDocument(&b);
        bson_endDocument(&b);
        bson_appendNull(&b, variant == 2 ? longName.c_str() : "z");
        EXPECT_EQ(bson_finish(&b), 1);
        out.emplace_back(buffer, buffer + bson_size(&b));
    }
    return out;
}

TEST(BsonFuzz, CheckedDocumentsAreReadAndPrintedInsideTheirBytes) {
    std::mt19937 random(20261208);
    auto below = [&](size_t n) { return static_cast<size_t>(random() % n); };
    const uint8_t interesting[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x08,
                                   0x0A, 0x10, 0x7F, 0x80, 0xFE, 0xFF};
    const std::vector<Bytes> base = seeds();
    for (const Bytes& seed : base) {
        EXPECT_EQ(bson_check(seed.data(), static_cast<uint32_t>(seed.size())), 0);
    }
    FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    int accepted = 0;
    int mutatedAccepted = 0;
    const int rounds = 100000;
    for (int round = 0; round < rounds; ++round) {
        Bytes doc;
        bool mutated = round % 2 == 0;
        if (mutated) {
            doc = base[below(base.size())];
            for (size_t edits = 1 + below(4); edits > 0; --edits) {
                size_t at = below(doc.size());
                switch (below(5)) {
                    case 0:
                        doc[at] = interesting[below(sizeof interesting)];
                        break;
                    case 1:
                        doc[at] ^= static_cast<uint8_t>(1u << below(8));
                        break;
                    case 2:
                        doc.erase(doc.begin() + static_cast<long>(at));
                        break;
                    case 3:
                        doc.insert(doc.begin() + static_cast<long>(at),
                                   interesting[below(sizeof interesting)]);
                        break;
                    default:
                        doc.resize(at);
                        break;
                }
                if (doc.empty()) {
                    break;
                }
            }
        } else {
            doc.resize(below(64));
            for (auto& byte : doc) {
                byte = below(3) == 0 ? interesting[below(sizeof interesting)]
                                     : static_cast<uint8_t>(random());
            }
        }
        if (below(2) == 0 && doc.size() >= 4) {
            // Otherwise almost every input fails at the length prefix.
            testbson::setLengthPrefix(doc, static_cast<uint32_t>(doc.size()));
        }
        if (exercise(doc, sink)) {
            ++accepted;
            mutatedAccepted += mutated ? 1 : 0;
        }
        if (testing::Test::HasFatalFailure()) {
            break;
        }
    }
    std::fclose(sink);
    // The run is only worth something if many inputs get past the check.
    EXPECT_GT(mutatedAccepted, rounds / 20);
    EXPECT_GT(accepted - mutatedAccepted, rounds / 1000);
}

}  // namespace
