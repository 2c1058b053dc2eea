#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bson.h"
#include "bson_writer.h"
#include "cid_socket.h"
#include "thrown.h"
#include "udp_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string MISSING = "The BSON docuemnt was missing an expected object.";
const std::string NO_COUNTS = "The IIS BSON document doesn't contain count information.";
const char* const KEYS[] = {"w",        "pc",      "dw", "pcall", "apscall",
                            "papscall", "vokcall", "sg", "sr",    "sp"};

struct Element {
    std::string name;
    uint8_t type;
    int32_t value = 0;
    std::vector<Element> children;
};

void append(bson_builder* builder, const Element& element) {
    switch (element.type) {
        case BSON_INT32:
            bson_appendInt(builder, element.name.c_str(), element.value);
            break;
        case BSON_DOUBLE:
            bson_appendDouble(builder, element.name.c_str(), element.value);
            break;
        case BSON_STRING:
            bson_appendString(builder, element.name.c_str(), "text");
            break;
        default:
            bson_beginDocument(builder, element.name.c_str());
            for (const Element& child : element.children) {
                append(builder, child);
            }
            bson_endDocument(builder);
    }
}

Bytes build(const std::vector<Element>& elements) {
    uint8_t buffer[4096];
    bson_builder builder;
    bson_init(&builder, buffer, sizeof buffer);
    for (const Element& element : elements) {
        append(&builder, element);
    }
    EXPECT_EQ(bson_finish(&builder), 1);
    return Bytes(buffer, buffer + bson_size(&builder));
}

// A complete answer: key k of KEYS holds k + 1, counts "i" holds 100 + i.
std::vector<Element> answer() {
    std::vector<Element> elements;
    for (int k = 0; k < 10; ++k) {
        elements.push_back({KEYS[k], BSON_INT32, k + 1, {}});
    }
    Element counts{"counts", BSON_DOCUMENT, 0, {}};
    for (int i = 0; i < 8; ++i) {
        counts.children.push_back({std::to_string(i), BSON_INT32, 100 + i, {}});
    }
    elements.push_back(counts);
    return elements;
}

Element* named(std::vector<Element>& elements, const std::string& name) {
    auto it = std::find_if(elements.begin(), elements.end(),
                           [&](const Element& e) { return e.name == name; });
    return it == elements.end() ? nullptr : &*it;
}

// Parses an exact-size copy, so that a read past the received bytes is caught by ASan.
IntersectionStatus parse(const Bytes& bytes, uint32_t size) {
    std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + std::min<size_t>(size, bytes.size()));
    return IntersectionStatus(exact.data(), size);
}
IntersectionStatus parse(const Bytes& bytes) {
    return parse(bytes, static_cast<uint32_t>(bytes.size()));
}

std::string failure(const Bytes& bytes) {
    return messageOf<std::runtime_error>([&] { parse(bytes); });
}

TEST(IntersectionStatusTest, ReadsEveryKeyIntoItsField) {
    IntersectionStatus status = parse(build(answer()));
    EXPECT_EQ(status.w, 1);
    EXPECT_EQ(status.pc, 2);
    EXPECT_EQ(status.dw, 3);
    EXPECT_EQ(status.pcall, 4);
    EXPECT_EQ(status.apscall, 5);
    EXPECT_EQ(status.papscall, 6);
    EXPECT_EQ(status.vokcall, 7);
    EXPECT_EQ(status.sg, 8);
    EXPECT_EQ(status.sr, 9);
    EXPECT_EQ(status.sp, 10);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(status.counts[i], 100 + i);
    }
}

TEST(IntersectionStatusTest, EveryRequiredKeyMissingOrMistypedIsRefused) {
    for (const char* key : KEYS) {
        for (uint8_t type : {uint8_t{0}, BSON_DOUBLE, BSON_STRING, BSON_DOCUMENT}) {
            std::vector<Element> elements = answer();
            Element* element = named(elements, key);
            if (type == 0) {
                elements.erase(elements.begin() + (element - elements.data()));
            } else {
                element->type = type;
            }
            EXPECT_EQ(failure(build(elements)), MISSING) << key << " type " << int(type);
        }
    }
}

TEST(IntersectionStatusTest, CountsMustBeADocumentOfEightInts) {
    std::vector<Element> elements = answer();
    elements.pop_back();
    EXPECT_EQ(failure(build(elements)), NO_COUNTS);

    elements = answer();
    named(elements, "counts")->type = BSON_INT32;
    EXPECT_EQ(failure(build(elements)), NO_COUNTS);

    elements = answer();
    named(elements, "counts")->children.pop_back();  // "0" to "6" only
    EXPECT_EQ(failure(build(elements)), MISSING);

    elements = answer();
    named(elements, "counts")->children[3].type = BSON_DOUBLE;
    EXPECT_EQ(failure(build(elements)), MISSING);

    elements = answer();
    named(elements, "counts")->children[5].value = -7;  // counts keep sign and all 32 bits
    named(elements, "counts")->children[6].value = INT32_MIN;
    IntersectionStatus status = parse(build(elements));
    EXPECT_EQ(status.counts[5], -7);
    EXPECT_EQ(status.counts[6], INT32_MIN);
}

TEST(IntersectionStatusTest, ValuesAreCutToTheirFieldWidths) {
    std::vector<Element> elements = answer();
    named(elements, "w")->value = 0x1FF;
    named(elements, "vokcall")->value = -1;
    named(elements, "sg")->value = 0x1FFFF;
    named(elements, "sp")->value = 0x12345678;
    IntersectionStatus status = parse(build(elements));
    EXPECT_EQ(status.w, 0xFF);
    EXPECT_EQ(status.vokcall, 0xFF);
    EXPECT_EQ(status.sg, 0xFFFF);
    EXPECT_EQ(status.sp, 0x5678);
}

TEST(IntersectionStatusTest, ExtraKeysAndOtherOrdersReadTheSame) {
    std::vector<Element> elements = answer();
    std::reverse(elements.begin(), elements.end());
    elements.insert(elements.begin(), {"t", BSON_INT32, 1, {}});
    elements.push_back({"time", BSON_STRING, 0, {}});
    elements.push_back({"w", BSON_INT32, 99, {}});  // the first "w" wins
    IntersectionStatus status = parse(build(elements));
    EXPECT_EQ(status.w, 1);
    EXPECT_EQ(status.sp, 10);
    EXPECT_EQ(status.counts[7], 107);
}

TEST(IntersectionStatusTest, BytesAfterTheDocumentAreIgnored) {
    Bytes bytes = build(answer());
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(parse(bytes).counts[7], 107);
}

TEST(IntersectionStatusTest, DocumentOfExactly1024BytesPassesTheLengthCheck) {
    Bytes padded = *testbson::grownDocument(build(answer()), 1024);
    EXPECT_EQ(parse(padded).sp, 10);

    padded[0] = 0x01;  // declared 1025, received 1024
    padded[1] = 0x04;
    EXPECT_EQ(failure(padded),
              "The Intersection Status BSON document thought it was too large: 1025 1024");
}

TEST(IntersectionStatusTest, DeclaredLengthOutsideTheBytesIsRefused) {
    Bytes good = build(answer());
    // Every datagram cut short of the document.
    for (uint32_t size = 0; size < good.size(); ++size) {
        EXPECT_THROW(parse(good, size), std::runtime_error) << "size " << size;
    }
    for (uint32_t declared : {0u, 1u, 4u}) {
        Bytes bytes = good;
        bytes[0] = static_cast<uint8_t>(declared);
        bytes[1] = bytes[2] = bytes[3] = 0;
        EXPECT_THROW(parse(bytes), std::runtime_error) << "declared " << declared;
    }
    EXPECT_EQ(failure(Bytes{5, 0, 0}), "The Intersection Status BSON document was too short: 3");
}

TEST(IntersectionStatusTest, ElementSizesRunningPastTheDatagramAreRefused) {
    Bytes good = build(answer());
    size_t counts = 0;
    for (size_t i = 0; i + 7 < good.size(); ++i) {
        if (good[i] == BSON_DOCUMENT &&
            std::string(good.begin() + i + 1, good.begin() + i + 7) == "counts") {
            counts = i + 8;
        }
    }
    ASSERT_NE(counts, 0u);
    Bytes bytes = good;
    bytes[counts] = 0xF0;  // the embedded document claims 240 bytes
    EXPECT_EQ(failure(bytes), "The Intersection Status BSON document is malformed.");
    bytes[counts + 3] = 0x7F;  // or about 2 GiB
    EXPECT_EQ(failure(bytes), "The Intersection Status BSON document is malformed.");
}

TEST(FetchIntersectionStatusTest, QueriesTheCidAndParsesItsAnswer) {
    UdpPeer cid;
    std::thread peer([&] { cid.serve(build(answer())); });
    CIDSocket socket("127.0.0.1", cid.port());
    IntersectionStatus status = fetchIntersectionStatus(socket);
    peer.join();
    EXPECT_EQ(status.sr, 9);
    EXPECT_EQ(status.counts[0], 100);
}

}  // namespace
