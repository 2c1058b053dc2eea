#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bson.h"

namespace {

using Bytes = std::vector<uint8_t>;

// {"i": 1, "s": "ab", "d": {"e": {"n": null}}} built by hand, with the offsets the cases patch.
Bytes sample() {
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
    Bytes good = sample();
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
    Bytes doc = sample();
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
    Bytes doc;
    for (size_t k = 0; k <= levels; ++k) {
        doc.insert(doc.end(), {0, 0, 0, 0});
        if (k < levels) {
            doc.insert(doc.end(), {BSON_DOCUMENT, 'a', 0});
        }
    }
    doc.insert(doc.end(), levels + 1, 0);
    for (size_t k = 0; k <= levels; ++k) {
        auto length = static_cast<uint32_t>(doc.size() - 8 * k);
        for (int i = 0; i < 4; ++i) {
            doc[7 * k + i] = static_cast<uint8_t>(length >> (8 * i));
        }
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

TEST(BsonCheck, NameWithoutNulInItsScanEndsTheWalk) {
    std::string name(200, 'k');
    Bytes doc = {0, 0, 0, 0, BSON_INT32};
    doc.insert(doc.end(), name.begin(), name.end());
    doc.insert(doc.end(), {0, 1, 0, 0, 0, 0});
    doc[0] = static_cast<uint8_t>(doc.size());
    EXPECT_EQ(bson_check(doc.data(), static_cast<uint32_t>(doc.size())), 0);
}

}  // namespace
