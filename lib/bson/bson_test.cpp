#include "bson.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bson_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Script = std::function<void(bson_builder*)>;

// Builds with `script` into a buffer of `capacity` bytes followed by guard bytes that must stay
// untouched; returns bson_finish's result and the bytes written.
int build(uint32_t capacity, const Script& script, Bytes* out = nullptr) {
    Bytes buffer(capacity + 16, 0xEE);
    bson_builder b;
    EXPECT_EQ(bson_init(&b, buffer.data(), capacity), capacity > 4 ? 1 : -1);
    script(&b);
    int result = bson_finish(&b);
    for (size_t i = capacity; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], 0xEE) << "byte " << i << " past the capacity was written";
    }
    if (out != nullptr) {
        out->assign(buffer.begin(), buffer.begin() + b.length);
    }
    return result;
}

struct BytesCase {
    const char* what;
    Script script;
    Bytes expected;
};

TEST(BsonBuilder, WritesExactBytesAndFitsExactlyInItsOwnSize) {
    const BytesCase cases[] = {
        {"empty", [](bson_builder*) {}, {5, 0, 0, 0, 0}},
        {"int",
         [](bson_builder* b) { bson_appendInt(b, "t", 1); },
         {0x0C, 0, 0, 0, 0x10, 't', 0, 1, 0, 0, 0, 0}},
        {"negative int",
         [](bson_builder* b) { bson_appendInt(b, "", -2); },
         {0x0B, 0, 0, 0, 0x10, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0}},
        {"double",
         [](bson_builder* b) { bson_appendDouble(b, "d", 1.5); },
         {0x10, 0, 0, 0, 0x01, 'd', 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0}},
        {"string",
         [](bson_builder* b) { bson_appendString(b, "s", "xy"); },
         {0x0F, 0, 0, 0, 0x02, 's', 0, 3, 0, 0, 0, 'x', 'y', 0, 0}},
        {"null",
         [](bson_builder* b) { bson_appendNull(b, "n"); },
         {0x08, 0, 0, 0, 0x0A, 'n', 0, 0}},
        {"empty embedded",
         [](bson_builder* b) {
             bson_beginDocument(b, "a");
             bson_endDocument(b);
         },
         {0x0D, 0, 0, 0, 0x03, 'a', 0, 5, 0, 0, 0, 0, 0}},
        {"two levels",
         [](bson_builder* b) {
             bson_beginDocument(b, "a");
             bson_beginDocument(b, "b");
             bson_appendNull(b, "c");
             bson_endDocument(b);
             bson_endDocument(b);
         },
         {0x18, 0, 0,    0, 0x03, 'a', 0,    0x10, 0, 0, 0, 0x03,
          'b',  0, 0x08, 0, 0,    0,   0x0A, 'c',  0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes written;
        const auto size = static_cast<uint32_t>(c.expected.size());
        ASSERT_EQ(build(size, c.script, &written), 1);
        EXPECT_EQ(written, c.expected);
        // One byte less never yields a valid document, and never writes past the buffer.
        for (uint32_t capacity = 0; capacity < size; ++capacity) {
            EXPECT_NE(build(capacity, c.script), 1) << "capacity " << capacity;
        }
    }
}

TEST(BsonBuilder, InitRefusesUnusableBuffers) {
    uint8_t buffer[8];
    bson_builder b;
    EXPECT_EQ(bson_init(nullptr, buffer, 8), -1);
    EXPECT_EQ(bson_init(&b, nullptr, 8), -1);
    EXPECT_EQ(b.flags, BSON_OVERFLOW);
    EXPECT_EQ(bson_init(&b, buffer, 4), -1);
    EXPECT_EQ(b.flags, BSON_OVERFLOW);
    // A builder whose init failed writes nothing, whatever is appended.
    EXPECT_EQ(bson_appendInt(&b, "t", 1), -1);
    EXPECT_EQ(bson_finish(&b), -1);
    EXPECT_EQ(bson_size(&b), 0);
}

TEST(BsonBuilder, TextNeverTakesTheLastByte) {
    uint8_t buffer[7];
    bson_builder b;
    ASSERT_EQ(bson_init(&b, buffer, 7), 1);
    EXPECT_EQ(bson_appendInt(&b, "t", 1), -1);
    EXPECT_EQ(buffer[4], BSON_INT32);
    EXPECT_EQ(b.length, 5u);
    EXPECT_EQ(b.flags & BSON_OVERFLOW, BSON_OVERFLOW);
}

TEST(BsonBuilder, FailuresAreStickyUntilInit) {
    uint8_t buffer[64];
    bson_builder b;
    ASSERT_EQ(bson_init(&b, buffer, 20), 1);
    EXPECT_EQ(bson_appendString(&b, "name", "a text that cannot fit"), -1);
    EXPECT_EQ(bson_appendNull(&b, "n"), 0);  // still written
    EXPECT_EQ(bson_finish(&b), 0);
    ASSERT_EQ(bson_init(&b, buffer, 64), 1);
    EXPECT_EQ(bson_finish(&b), 1);
}

TEST(BsonBuilder, NestingIsLimitedToTwoLevels) {
    uint8_t buffer[64];
    bson_builder b;
    ASSERT_EQ(bson_init(&b, buffer, 64), 1);
    EXPECT_EQ(bson_beginDocument(&b, "a"), 0);
    EXPECT_EQ(bson_beginDocument(&b, "b"), 0);
    uint32_t before = b.length;
    EXPECT_EQ(bson_beginDocument(&b, "c"), -1);
    EXPECT_EQ(b.flags & BSON_NESTING, BSON_NESTING);
    EXPECT_EQ(b.length, before + 3);  // type byte and name stay
    EXPECT_EQ(buffer[before], BSON_DOCUMENT);
    EXPECT_EQ(bson_isValid(&b), 0);

    ASSERT_EQ(bson_init(&b, buffer, 64), 1);
    EXPECT_EQ(bson_endDocument(&b), -1);
    EXPECT_EQ(b.flags, BSON_VALID | BSON_NESTING);
    // Finishing with an embedded document still open is refused.
    ASSERT_EQ(bson_init(&b, buffer, 64), 1);
    bson_beginDocument(&b, "a");
    EXPECT_EQ(bson_finish(&b), -1);
    EXPECT_EQ(bson_isValid(&b), 0);
}

TEST(BsonBuilder, NullArgumentsLeaveTheBuilderAlone) {
    uint8_t buffer[32];
    bson_builder b;
    ASSERT_EQ(bson_init(&b, buffer, 32), 1);
    bson_builder copy = b;
    EXPECT_EQ(bson_appendInt(&b, nullptr, 1), -1);
    EXPECT_EQ(bson_appendDouble(&b, nullptr, 1), -1);
    EXPECT_EQ(bson_appendString(&b, "s", nullptr), -1);
    EXPECT_EQ(bson_appendNull(&b, nullptr), -1);
    EXPECT_EQ(bson_beginDocument(&b, nullptr), -1);
    EXPECT_EQ(std::memcmp(&b, &copy, sizeof b), 0);
    EXPECT_EQ(bson_appendInt(nullptr, "t", 1), -1);
    EXPECT_EQ(bson_finish(nullptr), -1);
    EXPECT_EQ(bson_isValid(nullptr), 0);
}

TEST(BsonBuilder, ReopenAppendsToAFinishedDocument) {
    Bytes direct;
    build(
        64,
        [](bson_builder* b) {
            bson_appendInt(b, "t", 1);
            bson_appendString(b, "s", "x");
        },
        &direct);
    uint8_t buffer[64];
    bson_builder b;
    ASSERT_EQ(bson_init(&b, buffer, 64), 1);
    bson_appendInt(&b, "t", 1);
    ASSERT_EQ(bson_finish(&b), 1);
    ASSERT_EQ(bson_reopen(&b, buffer, 64), 1);
    bson_appendString(&b, "s", "x");
    ASSERT_EQ(bson_finish(&b), 1);
    EXPECT_EQ(Bytes(buffer, buffer + bson_size(&b)), direct);
    // A stored length beyond the buffer is refused.
    EXPECT_EQ(bson_reopen(&b, buffer, 12), -1);
    EXPECT_EQ(b.flags, BSON_OVERFLOW);
}

// A document holding one element of each type, with "t" twice.
Bytes sample() {
    Bytes doc;
    build(
        128,
        [](bson_builder* b) {
            bson_appendInt(b, "t", 5);
            bson_appendDouble(b, "d", -0.25);
            bson_appendString(b, "s", "text");
            bson_appendNull(b, "n");
            bson_beginDocument(b, "sub");
            bson_appendInt(b, "a", 1);
            bson_endDocument(b);
            bson_appendInt(b, "t", 6);
        },
        &doc);
    return doc;
}

TEST(BsonReader, FindsTheFirstOccurrence) {
    Bytes doc = sample();
    int32_t value = 0;
    EXPECT_EQ(bson_getInt(bson_find(doc.data(), "t"), &value), 0);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(bson_find(doc.data(), "T"), nullptr);
    EXPECT_EQ(bson_find(doc.data(), "su"), nullptr);
    EXPECT_EQ(bson_find(doc.data(), nullptr), nullptr);
    EXPECT_EQ(bson_find(nullptr, "t"), nullptr);
    const uint8_t empty[] = {5, 0, 0, 0, 0};
    EXPECT_EQ(bson_find(empty, "t"), nullptr);
    EXPECT_EQ(bson_firstElement(empty), nullptr);
    EXPECT_EQ(bson_length(nullptr), 0u);
    EXPECT_EQ(bson_elementSize(nullptr), 0u);
    EXPECT_EQ(bson_length(doc.data()), doc.size());
}

TEST(BsonReader, EachGetterReadsOnlyItsOwnType) {
    Bytes doc = sample();
    const char* names[] = {"t", "d", "s", "n", "sub"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const uint8_t* e = bson_find(doc.data(), name);
        ASSERT_NE(e, nullptr);
        int32_t i;
        double d;
        const char* s;
        const uint8_t* sub;
        EXPECT_EQ(bson_getInt(e, &i), e[0] == BSON_INT32 ? 0 : -1);
        EXPECT_EQ(bson_getDouble(e, &d), e[0] == BSON_DOUBLE ? 0 : -1);
        EXPECT_EQ(bson_getString(e, &s), e[0] == BSON_STRING ? 0 : -1);
        EXPECT_EQ(bson_getDocument(e, &sub), e[0] == BSON_DOCUMENT ? 0 : -1);
        EXPECT_EQ(bson_getInt(e, nullptr), -1);
    }
    double d = 0;
    const char* s = nullptr;
    const uint8_t* sub = nullptr;
    int32_t a = 0;
    ASSERT_EQ(bson_getDouble(bson_find(doc.data(), "d"), &d), 0);
    EXPECT_EQ(d, -0.25);
    ASSERT_EQ(bson_getString(bson_find(doc.data(), "s"), &s), 0);
    EXPECT_STREQ(s, "text");
    ASSERT_EQ(bson_getDocument(bson_find(doc.data(), "sub"), &sub), 0);
    EXPECT_EQ(bson_length(sub), 12u);
    ASSERT_EQ(bson_getInt(bson_find(sub, "a"), &a), 0);
    EXPECT_EQ(a, 1);
}

TEST(BsonReader, LongNamesAreSteppedOverButNotRead) {
    for (size_t length : {126u, 127u, 128u}) {
        SCOPED_TRACE(length);
        std::string name(length, 'k');
        Bytes doc;
        build(
            512,
            [&](bson_builder* b) {
                bson_appendInt(b, name.c_str(), 7);
                bson_appendInt(b, "z", 8);
            },
            &doc);
        const uint8_t* e = bson_firstElement(doc.data());
        int32_t value = 0;
        if (length < 128) {
            EXPECT_EQ(bson_elementSize(e), length + 6);
            EXPECT_EQ(bson_getInt(bson_find(doc.data(), "z"), &value), 0);
            EXPECT_EQ(bson_getInt(e, &value), length == 126 ? 0 : -1);
        } else {
            // No NUL within the scanned 128 bytes: the walk ends at this element.
            EXPECT_EQ(bson_elementSize(e), 0u);
            EXPECT_EQ(bson_check(doc.data(), static_cast<uint32_t>(doc.size())), 0);
            EXPECT_EQ(bson_nextElement(e), nullptr);
            EXPECT_EQ(bson_find(doc.data(), "z"), nullptr);
            EXPECT_EQ(bson_getInt(e, &value), -1);
        }
    }
}

// {"i": 1, "s": "ab", "d": {"e": {"n": null}}} built by hand, with the offsets the cases patch.
Bytes patchable() {
    return {0x29, 0,   0, 0,                           // length 41
            0x10, 'i', 0, 1,    0, 0, 0,               // 4: int
            0x02, 's', 0, 3,    0, 0, 0, 'a', 'b', 0,  // 11: string, length field at 14
            0x03, 'd', 0, 0x10, 0, 0, 0,               // 21: level 1, length field at 24
            0x03, 'e', 0, 0x08, 0, 0, 0,               // 28: level 2, length field at 31
            0x0A, 'n', 0, 0,                           // 35: null, level 2 terminator at 38
            0,    0};
}

struct Patch {
    const char* what;
    size_t offset;
    uint8_t value;
    int expected;
};

TEST(BsonCheck, AcceptsTheSampleAndRefusesEachCorruption) {
    Bytes good = patchable();
    ASSERT_EQ(bson_check(good.data(), static_cast<uint32_t>(good.size())), 0);
    const Patch patches[] = {
        {"prefix below 5", 0, 4, -1},
        {"prefix past the bytes held", 0, 42, -1},
        {"prefix shorter than the elements", 0, 38, -1},
        {"huge prefix", 3, 0x80, -1},
        {"no final terminator", 40, 1, -1},
        {"string length 0", 14, 0, -1},
        {"string length negative", 17, 0xFF, -1},
        {"string past the document", 14, 30, -1},
        {"string without its NUL", 20, 'c', -1},
        {"string shorter than its NUL", 14, 2, -1},
        {"embedded length below 5", 24, 4, -1},
        {"embedded past its parent", 24, 0x11, -1},
        {"embedded without terminator", 38, 7, -1},
        {"innermost past its parent", 31, 9, -1},
        {"early terminator", 4, 0, -1},
        {"unsupported type ends the walk", 11, 0x08, 0},
        {"unsupported type inside level 2", 35, 0x12, 0},
    };
    for (const auto& p : patches) {
        SCOPED_TRACE(p.what);
        Bytes doc = good;
        doc[p.offset] = p.value;
        EXPECT_EQ(bson_check(doc.data(), static_cast<uint32_t>(doc.size())), p.expected);
    }
}

TEST(BsonCheck, RefusesEveryTruncation) {
    Bytes doc = patchable();
    for (uint32_t held = 0; held < doc.size(); ++held) {
        // Copy so that ASan sees the end of what is held.
        Bytes part(doc.begin(), doc.begin() + held);
        EXPECT_EQ(bson_check(part.data(), held), -1) << held;
    }
    EXPECT_EQ(bson_check(nullptr, 5), -1);
    Bytes longer = doc;
    longer.push_back(0xAB);  // bytes after the document are not its business
    EXPECT_EQ(bson_check(longer.data(), static_cast<uint32_t>(longer.size())), 0);
}

// {"a": {"a": ... {}}} with `levels` embedded documents, level k starting at offset 7k.
Bytes nested(size_t levels) {
    Bytes doc(4, 0);
    for (size_t k = 0; k < levels; ++k) {
        testbson::appendName(doc, BSON_DOCUMENT, "a");
        doc.resize(doc.size() + 4);
    }
    for (size_t k = levels + 1; k-- > 0;) {
        testbson::closeDocument(doc, 7 * k);
    }
    return doc;
}

TEST(BsonCheck, ChecksEveryLevelOfNesting) {
    for (size_t levels : {0, 1, 2, 3, 10, 1024}) {
        SCOPED_TRACE(levels);
        Bytes doc = nested(levels);
        EXPECT_EQ(bson_check(doc.data(), static_cast<uint32_t>(doc.size())), 0);
        if (levels >= 3) {
            // The innermost document claims one byte more than its parent holds.
            doc[7 * levels] += 1;
            EXPECT_EQ(bson_check(doc.data(), static_cast<uint32_t>(doc.size())), -1);
        }
    }
    // Past the bound of the recursion the document is refused rather than walked.
    Bytes tooDeep = nested(1025);
    EXPECT_EQ(bson_check(tooDeep.data(), static_cast<uint32_t>(tooDeep.size())), -1);
}

}  // namespace
