// Differential tests against libbson: random documents of the five types built by our builder
// are read element by element with libbson's iterator, and the same documents built by libbson
// are checked and walked by our readers. Both builders must produce the same bytes.
//
// Every document comes from its own seed (base seed + round); a failure names it. To rerun one
// document: BSON_DIFF_SEED=<seed> BSON_DIFF_ROUNDS=1 ./bson_diff_test.
//
// Where libbson legitimately reads more than we do (other element types, strings with a NUL
// inside, deeper building), the last tests pin what our readers do; bson_test pins long names.
#include <bson/bson.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bson.h"
#include "rounds.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Room for the largest document of the system (4095 bytes in bsoncat) and a little more.
constexpr uint32_t kCapacity = 4200;
// Names up to this length can be read with the typed getters; one byte more can only be walked.
constexpr size_t kTypedName = BSON_NAME_SCAN - 2;

struct Node {
    uint8_t type;
    std::string name;
    int32_t integer = 0;
    uint64_t bits = 0;  // the double, bit for bit, so that NaN payloads compare too
    std::string text;
    std::vector<Node> children;
};
using Doc = std::vector<Node>;

// Random documents with the edge values weighted in.
class Generator {
  public:
    // `maxDepth`: embedded levels allowed; `maxName`: longest name drawn.
    Generator(uint32_t seed, uint32_t maxDepth, size_t maxName)
        : random_(seed), maxDepth_(maxDepth), maxName_(maxName) {
        ascii_ = below(2) == 0;
    }

    // A document whose encoding stays below `budget` bytes.
    Doc document() {
        const size_t budgets[] = {16, 64, 256, 1024, 4000};
        size_t budget = budgets[below(5)];
        size_t used = 5;
        return elements(0, budget, &used);
    }

    // True when every name and text drawn so far is 7-bit ASCII (so valid UTF-8).
    bool ascii() const { return ascii_; }

  private:
    size_t below(size_t n) { return size_t(random_() % n); }

    uint8_t byte() {
        // Never NUL: names and texts are C strings.
        return ascii_ ? uint8_t(1 + below(127)) : uint8_t(1 + below(255));
    }

    std::string bytes(size_t length) {
        std::string out(length, ' ');
        for (char& c : out) {
            c = char(byte());
        }
        return out;
    }

    std::string name() {
        switch (below(8)) {
            case 0:
                return "";
            case 1:
                return bytes(maxName_);
            case 2:
                return bytes(1 + below(maxName_));
            case 3:  // a name used before in this document: the first one must be found
                if (!used_.empty()) {
                    return used_[below(used_.size())];
                }
                return "t";
            default: {
                std::string out = bytes(1 + below(6));
                used_.push_back(out);
                return out;
            }
        }
    }

    int32_t integer() {
        const int32_t edges[] = {0, 1, -1, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1};
        return below(3) == 0 ? edges[below(7)] : int32_t(random_());
    }

    uint64_t doubleBits() {
        const double edges[] = {0.0,
                                -0.0,
                                1.5,
                                -1e300,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity(),
                                std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::lowest()};
        if (below(3) == 0) {
            uint64_t bits;
            std::memcpy(&bits, &edges[below(10)], sizeof bits);
            return bits;
        }
        return uint64_t(random_()) << 32 | random_();
    }

    std::string text(size_t room) {
        switch (below(4)) {
            case 0:
                return "";
            case 1:  // long
                return bytes(below(room + 1));
            default:
                return bytes(below(std::min<size_t>(room, 24) + 1));
        }
    }

    Doc elements(uint32_t depth, size_t budget, size_t* used) {
        Doc doc;
        // Now and then a long run of small elements.
        size_t count = below(10) == 0 ? 50 + below(250) : below(8);
        for (size_t i = 0; i < count; ++i) {
            Node node;
            node.name = name();
            size_t head = 1 + node.name.size() + 1;
            if (*used + head + 5 + 8 > budget) {
                break;
            }
            const uint8_t types[] = {BSON_DOUBLE, BSON_STRING, BSON_DOCUMENT, BSON_NULL,
                                     BSON_INT32};
            node.type = types[below(5)];
            if (node.type == BSON_DOCUMENT && depth >= maxDepth_) {
                node.type = BSON_NULL;
            }
            *used += head;
            switch (node.type) {
                case BSON_DOUBLE:
                    node.bits = doubleBits();
                    *used += 8;
                    break;
                case BSON_STRING:
                    node.text = text(budget - *used - 5 - 5);
                    *used += 5 + node.text.size();
                    break;
                case BSON_DOCUMENT:
                    *used += 5;
                    node.children = elements(depth + 1, budget, used);
                    break;
                case BSON_INT32:
                    node.integer = integer();
                    *used += 4;
                    break;
                default:
                    break;
            }
            doc.push_back(std::move(node));
        }
        return doc;
    }

    std::mt19937 random_;
    uint32_t maxDepth_;
    size_t maxName_;
    bool ascii_;
    std::vector<std::string> used_;
};

// Our builder. False when it did not finish a valid document.
bool appendOurs(bson_builder* b, const Doc& doc) {
    for (const Node& n : doc) {
        int result = 0;
        switch (n.type) {
            case BSON_DOUBLE: {
                double value;
                std::memcpy(&value, &n.bits, sizeof value);
                result = bson_appendDouble(b, n.name.c_str(), value);
                break;
            }
            case BSON_STRING:
                result = bson_appendString(b, n.name.c_str(), n.text.c_str());
                break;
            case BSON_DOCUMENT:
                result = bson_beginDocument(b, n.name.c_str()) == 0 && appendOurs(b, n.children) &&
                                 bson_endDocument(b) == 0
                             ? 0
                             : -1;
                break;
            case BSON_NULL:
                result = bson_appendNull(b, n.name.c_str());
                break;
            default:
                result = bson_appendInt(b, n.name.c_str(), n.integer);
                break;
        }
        if (result != 0) {
            return false;
        }
    }
    return true;
}

Bytes buildOurs(const Doc& doc) {
    Bytes buffer(kCapacity);
    bson_builder b;
    EXPECT_EQ(bson_init(&b, buffer.data(), kCapacity), 1);
    bool appended = appendOurs(&b, doc);
    EXPECT_TRUE(appended);
    EXPECT_EQ(bson_finish(&b), 1);
    buffer.resize(uint32_t(bson_size(&b)));
    return buffer;
}

// libbson's builder, with explicit lengths so that nothing depends on NUL scanning.
void appendLibbson(bson_t* b, const Doc& doc) {
    for (const Node& n : doc) {
        const char* key = n.name.c_str();
        int keyLength = int(n.name.size());
        bool ok = true;
        switch (n.type) {
            case BSON_DOUBLE: {
                double value;
                std::memcpy(&value, &n.bits, sizeof value);
                ok = bson_append_double(b, key, keyLength, value);
                break;
            }
            case BSON_STRING:
                ok = bson_append_utf8(b, key, keyLength, n.text.data(), int(n.text.size()));
                break;
            case BSON_DOCUMENT: {
                bson_t child;
                ok = bson_append_document_begin(b, key, keyLength, &child);
                if (ok) {
                    appendLibbson(&child, n.children);
                    ok = bson_append_document_end(b, &child);
                }
                break;
            }
            case BSON_NULL:
                ok = bson_append_null(b, key, keyLength);
                break;
            default:
                ok = bson_append_int32(b, key, keyLength, n.integer);
                break;
        }
        ASSERT_TRUE(ok) << "libbson refused element \"" << n.name << "\"";
    }
}

Bytes buildLibbson(const Doc& doc) {
    bson_t* b = bson_new();
    appendLibbson(b, doc);
    Bytes out(bson_get_data(b), bson_get_data(b) + b->len);
    bson_destroy(b);
    return out;
}

// libbson's iterator reads the document as the model says: type, key, value.
void expectLibbsonReads(bson_iter_t* it, const Doc& doc) {
    for (const Node& n : doc) {
        ASSERT_TRUE(bson_iter_next(it)) << "libbson stops before \"" << n.name << "\"";
        ASSERT_EQ(bson_iter_type(it), n.type) << "key \"" << n.name << "\"";
        ASSERT_EQ(std::string(bson_iter_key(it), bson_iter_key_len(it)), n.name);
        switch (n.type) {
            case BSON_DOUBLE: {
                double value = bson_iter_double(it);
                uint64_t bits;
                std::memcpy(&bits, &value, sizeof bits);
                EXPECT_EQ(bits, n.bits);
                break;
            }
            case BSON_STRING: {
                uint32_t length = 0;
                const char* text = bson_iter_utf8(it, &length);
                EXPECT_EQ(std::string(text, length), n.text);
                break;
            }
            case BSON_DOCUMENT: {
                bson_iter_t child;
                ASSERT_TRUE(bson_iter_recurse(it, &child));
                expectLibbsonReads(&child, n.children);
                break;
            }
            case BSON_INT32:
                EXPECT_EQ(bson_iter_int32(it), n.integer);
                break;
            default:
                break;
        }
        if (testing::Test::HasFatalFailure()) {
            return;
        }
    }
    EXPECT_FALSE(bson_iter_next(it)) << "libbson reads more elements than were built";
}

// Our readers walk the document as the model says. The first element of each name must be
// what bson_find returns.
void expectOursReads(const uint8_t* document, const Doc& doc) {
    const uint8_t* e = bson_firstElement(document);
    std::set<std::string> seen;
    for (const Node& n : doc) {
        ASSERT_NE(e, nullptr) << "our walk stops before \"" << n.name << "\"";
        ASSERT_EQ(e[0], n.type);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(e + 1)), n.name);
        if (seen.insert(n.name).second) {
            EXPECT_EQ(bson_find(document, n.name.c_str()), e) << "find \"" << n.name << "\"";
        }
        bool typed = n.name.size() <= kTypedName;
        switch (n.type) {
            case BSON_DOUBLE: {
                double value;
                ASSERT_EQ(bson_getDouble(e, &value), typed ? 0 : -1);
                uint64_t bits;
                std::memcpy(&bits, &value, sizeof bits);
                if (typed) {
                    EXPECT_EQ(bits, n.bits);
                }
                break;
            }
            case BSON_STRING: {
                const char* text;
                ASSERT_EQ(bson_getString(e, &text), typed ? 0 : -1);
                if (typed) {
                    EXPECT_EQ(std::string(text), n.text);
                }
                break;
            }
            case BSON_DOCUMENT: {
                const uint8_t* embedded;
                ASSERT_EQ(bson_getDocument(e, &embedded), typed ? 0 : -1);
                if (typed) {
                    expectOursReads(embedded, n.children);
                }
                break;
            }
            case BSON_INT32: {
                int32_t value;
                ASSERT_EQ(bson_getInt(e, &value), typed ? 0 : -1);
                if (typed) {
                    EXPECT_EQ(value, n.integer);
                }
                break;
            }
            default:
                break;
        }
        if (testing::Test::HasFatalFailure()) {
            return;
        }
        e = bson_nextElement(e);
    }
    EXPECT_EQ(e, nullptr) << "our walk goes on past the elements that were built";
}

TEST(BsonDiff, DocumentsWeBuildPassOurCheckAreReadByLibbsonAndBuiltIdenticallyByIt) {
    size_t bytes = 0;
    forEachSeed("BSON_DIFF", 20261208, 10000, [&](uint32_t seed) {
        Generator generator(seed, BSON_MAX_DEPTH, kTypedName + 1);
        const Doc doc = generator.document();
        const Bytes ours = buildOurs(doc);
        ASSERT_FALSE(testing::Test::HasFailure());
        EXPECT_EQ(bson_check(ours.data(), uint32_t(ours.size())), 0);
        bytes += ours.size();

        // libbson takes the bytes as a whole document of exactly this length and walks it.
        bson_t view;
        ASSERT_TRUE(bson_init_static(&view, ours.data(), ours.size()));
        // libbson's validation insists on UTF-8 names even with no flags; our builder and
        // readers take names and texts as bytes. So only plain ASCII documents are validated;
        // the byte comparison with libbson's own encoding below covers the others.
        if (generator.ascii()) {
            size_t offset = 0;
            EXPECT_TRUE(bson_validate(&view, BSON_VALIDATE_UTF8, &offset)) << "offset " << offset;
        }
        bson_iter_t it;
        ASSERT_TRUE(bson_iter_init(&it, &view));
        expectLibbsonReads(&it, doc);

        // libbson's find and ours agree on the first element of every top-level name.
        for (const Node& n : doc) {
            bson_iter_t found;
            ASSERT_TRUE(bson_iter_init(&found, &view));
            ASSERT_TRUE(bson_iter_find_w_len(&found, n.name.data(), int(n.name.size())));
            EXPECT_EQ(ours.data() + bson_iter_offset(&found),
                      bson_find(ours.data(), n.name.c_str()))
                << "key \"" << n.name << "\"";
        }

        EXPECT_EQ(buildLibbson(doc), ours);
    });
    RecordProperty("bytes", std::to_string(bytes));
}

TEST(BsonDiff, DocumentsLibbsonBuildsPassOurCheckAndReadAsBuilt) {
    forEachSeed("BSON_DIFF", 8121962, 10000, [&](uint32_t seed) {
        // Deeper than our builder goes and with names of 127 bytes, which our walk steps over
        // but the typed getters refuse.
        Generator generator(seed, 4, kTypedName + 1);
        const Doc doc = generator.document();
        const Bytes built = buildLibbson(doc);
        ASSERT_FALSE(testing::Test::HasFailure());
        // An exact-size heap block, so that ASan sees any read past the document.
        auto held = std::make_unique<uint8_t[]>(built.size());
        std::memcpy(held.get(), built.data(), built.size());
        const auto size = uint32_t(built.size());

        ASSERT_EQ(bson_check(held.get(), size), 0);
        ASSERT_EQ(bson_length(held.get()), size);
        expectOursReads(held.get(), doc);
    });
}

// Appends `levels` nested documents "d" to `parent`, the innermost holding "bottom": 7.
void appendNested(bson_t* parent, int levels) {
    if (levels == 0) {
        ASSERT_TRUE(bson_append_int32(parent, "bottom", -1, 7));
        return;
    }
    bson_t child;
    ASSERT_TRUE(bson_append_document_begin(parent, "d", 1, &child));
    appendNested(&child, levels - 1);
    ASSERT_TRUE(bson_append_document_end(parent, &child));
}

TEST(BsonDiff, DeepNestingBuiltByLibbsonIsCheckedAndWalkedToTheBottom) {
    constexpr int kLevels = 300;
    bson_t top;
    bson_init(&top);
    appendNested(&top, kLevels);
    Bytes built(bson_get_data(&top), bson_get_data(&top) + top.len);
    bson_destroy(&top);
    ASSERT_FALSE(HasFailure());

    ASSERT_EQ(bson_check(built.data(), uint32_t(built.size())), 0);
    const uint8_t* document = built.data();
    for (int i = 0; i < kLevels; ++i) {
        ASSERT_EQ(bson_getDocument(bson_find(document, "d"), &document), 0) << "level " << i;
    }
    int32_t bottom = 0;
    EXPECT_EQ(bson_getInt(bson_find(document, "bottom"), &bottom), 0);
    EXPECT_EQ(bottom, 7);
}

// What libbson writes and reads but our readers by design do not: each document is built by
// libbson, passes our check, and our readers see exactly `expected` of it.
TEST(BsonDiff, OurReadersStopWhereTheirSubsetEnds) {
    struct Case {
        const char* what;
        void (*build)(bson_t*);
        // Names of the elements our walk visits, in order: it stops at one it cannot step over.
        std::vector<std::string> walked;
    };
    const Case cases[] = {
        {"another element type ends the walk",
         [](bson_t* b) {
             bson_append_int32(b, "a", -1, 1);
             bson_append_int64(b, "wide", -1, 1);
             bson_append_int32(b, "b", -1, 2);
         },
         {"a", "wide"}},
        {"binary data, even of length 0, ends the walk",
         [](bson_t* b) {
             bson_append_int32(b, "a", -1, 1);
             bson_append_binary(b, "bin", -1, BSON_SUBTYPE_BINARY, nullptr, 0);
             bson_append_int32(b, "b", -1, 2);
         },
         {"a", "bin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bson_t b;
        bson_init(&b);
        c.build(&b);
        Bytes built(bson_get_data(&b), bson_get_data(&b) + b.len);
        bson_destroy(&b);
        ASSERT_EQ(bson_check(built.data(), uint32_t(built.size())), 0);
        std::vector<std::string> walked;
        const uint8_t* last = nullptr;
        for (const uint8_t* e = bson_firstElement(built.data()); e != nullptr;
             e = bson_nextElement(e)) {
            walked.emplace_back(reinterpret_cast<const char*>(e + 1));
            last = e;
        }
        EXPECT_EQ(walked, c.walked);
        int32_t value;
        ASSERT_NE(last, nullptr);
        EXPECT_EQ(bson_getInt(last, &value), -1);
        EXPECT_EQ(bson_getInt(bson_firstElement(built.data()), &value), 0);
    }
}

// A string value is a C string to our readers: libbson keeps a NUL inside the text and the
// length says so; our getter's text ends at that NUL. The element is still stepped over whole.
TEST(BsonDiff, AStringWithANulInsideReadsUpToTheNul) {
    bson_t b;
    bson_init(&b);
    ASSERT_TRUE(bson_append_utf8(&b, "s", 1, "ab\0cd", 5));
    ASSERT_TRUE(bson_append_int32(&b, "after", -1, 9));
    Bytes built(bson_get_data(&b), bson_get_data(&b) + b.len);
    bson_destroy(&b);
    ASSERT_EQ(bson_check(built.data(), uint32_t(built.size())), 0);
    const char* text = nullptr;
    ASSERT_EQ(bson_getString(bson_find(built.data(), "s"), &text), 0);
    EXPECT_STREQ(text, "ab");
    int32_t after = 0;
    EXPECT_EQ(bson_getInt(bson_find(built.data(), "after"), &after), 0);
    EXPECT_EQ(after, 9);
}

}  // namespace
