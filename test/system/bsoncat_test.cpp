// bsoncat, the real binary, on streams built and rendered independently of the library.
#include <cstring>
#include <random>
#include <string>

#include "harness.h"

namespace systest {
namespace {

// Random well-formed documents of the five element types, with their expected text.
class DocumentMaker {
  public:
    explicit DocumentMaker(uint32_t seed) : random_(seed) {}

    // Appends one document nested `depth` levels deep to bytes, and its rendering to text.
    void make(Bytes& bytes, std::string& text, int depth) {
        size_t start = bytes.size();
        putInt32(bytes, 0);
        text += std::string(depth, ' ') + "{\n";
        int count = pick(0, depth == 0 ? 6 : 3);
        for (int i = 0; i < count; ++i) {
            std::string name = word(1, 12);
            text += std::string(depth + 1, ' ') + "\"" + name + "\": ";
            int type = pick(0, depth < 2 ? 4 : 3);
            element(bytes, text, type, name, depth);
            text += i + 1 < count ? ",\n" : "\n";
        }
        closeDocument(bytes, start);
        text += std::string(depth, ' ') + "}\n";
    }

  private:
    void element(Bytes& bytes, std::string& text, int type, const std::string& name, int depth) {
        char number[64];
        switch (type) {
            case 0: {
                int32_t value = static_cast<int32_t>(random_());
                appendInt(bytes, name, value);
                text += std::to_string(value);
                break;
            }
            case 1: {
                double value = (static_cast<double>(random_()) - 2147483648.0) / 1000.0;
                appendDouble(bytes, name, value);
                snprintf(number, sizeof number, "%f", value);
                text += number;
                break;
            }
            case 2: {
                std::string value = word(0, 40);
                appendString(bytes, name, value);
                text += value;
                break;
            }
            case 3:
                appendName(bytes, 0x0A, name);
                text += "NULL";
                break;
            case 4:
                appendName(bytes, 0x03, name);
                text += "\n";
                make(bytes, text, depth + 1);
                break;
        }
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    std::string word(int shortest, int longest) {
        static const char LETTERS[] = "abcdefghijklmnopqrstuvwxyz_ABCXYZ0123456789 -\"\n";
        std::string text(pick(shortest, longest), ' ');
        for (char& c : text) {
            c = LETTERS[pick(0, sizeof LETTERS - 2)];
        }
        return text;
    }

    std::mt19937 random_;
};

class BsoncatTest : public SystemTest {
  protected:
    Result cat(const Bytes& input) {
        return run({program("bsoncat")}, std::string(input.begin(), input.end()));
    }
};

TEST_F(BsoncatTest, ThousandsOfRandomDocumentsPrintAsRendered) {
    DocumentMaker maker(20261208);
    Bytes stream;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        maker.make(stream, expected, 0);
    }
    Result result = cat(stream);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out == expected) << "output differs from the rendering";
}

// A document of exactly `size` bytes: one string element "p" padded to fit.
Bytes documentOfSize(uint32_t size) {
    return *grownDocument(intDocument({}), size);
}

TEST_F(BsoncatTest, LengthLimitIs4095) {
    Bytes largest = documentOfSize(4095);
    ASSERT_EQ(largest.size(), 4095u);
    Result result = cat(largest);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "{\n \"p\": " + std::string(4095 - 13, 'a') + "\n}\n");

    Bytes tooLarge = documentOfSize(4096);
    Result refused = cat(tooLarge);
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "bsoncat: document 1 at byte 0: length 4096 is outside 5..4095\n");
}

TEST_F(BsoncatTest, BrokenStreamsEndWithStatus255AfterWhatWasWhole) {
    DocumentMaker maker(7);
    Bytes good;
    std::string goodText;
    maker.make(good, goodText, 0);
    Bytes lying = {14, 0, 0, 0, 0x02, 's', 0, 0xF0, 0xFF, 0xFF, 0x0F, 'x', 0, 0};
    Bytes unterminated = {12, 0, 0, 0, 0x10, 't', 0, 1, 0, 0, 0, 7};
    const std::string malformed =
        "malformed document: an element runs past its end, or no closing zero";
    const struct {
        const char* name;
        Bytes tail;
        bool last;  // the stream ends with it, rather than going on with a good document
        std::string why;
    } cases[] = {
        {"truncated prefix",
         {12, 0},
         true,
         "the input ends inside the length prefix (2 of 4 bytes)"},
        {"truncated body",
         {12, 0, 0, 0, 0x10, 't'},
         true,
         "the input ends inside the document (6 of 12 bytes)"},
        {"prefix below 5", {4, 0, 0, 0}, false, "length 4 is outside 5..4095"},
        {"prefix zero", {0, 0, 0, 0}, false, "length 0 is outside 5..4095"},
        {"negative prefix",
         {0xFF, 0xFF, 0xFF, 0xFF},
         false,
         "length 4294967295 is outside 5..4095"},
        {"string claims more than the document", lying, false, malformed},
        {"no terminator", unterminated, false, malformed},
    };
    for (const auto& c : cases) {
        Bytes stream = good;
        stream.insert(stream.end(), c.tail.begin(), c.tail.end());
        if (!c.last) {
            stream.insert(stream.end(), good.begin(), good.end());
        }
        Result result = cat(stream);
        EXPECT_EQ(result.status, 255) << c.name;
        EXPECT_EQ(result.out, goodText) << c.name;
        EXPECT_EQ(result.err, "bsoncat: document 2 at byte " + std::to_string(good.size()) + ": " +
                                  c.why + "\n")
            << c.name;
    }
}

TEST_F(BsoncatTest, DeeperNestingIsPrintedUpToTheThirdLevelAndTheLoopGoesOn) {
    // {"a": {"b": {"c": {"x": 1}}, "y": 2}, "z": 3}, then {"t": 1}.
    const Bytes c = {12, 0, 0, 0, 0x10, 'x', 0, 1, 0, 0, 0, 0};
    Bytes b = {20, 0, 0, 0, 0x03, 'c', 0};
    b.insert(b.end(), c.begin(), c.end());
    b.push_back(0);
    Bytes a = {35, 0, 0, 0, 0x03, 'b', 0};
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), {0x10, 'y', 0, 2, 0, 0, 0, 0});
    Bytes deep = {50, 0, 0, 0, 0x03, 'a', 0};
    deep.insert(deep.end(), a.begin(), a.end());
    deep.insert(deep.end(), {0x10, 'z', 0, 3, 0, 0, 0, 0});
    ASSERT_EQ(deep.size(), 50u);
    Bytes stream = deep;
    stream.insert(stream.end(), {12, 0, 0, 0, 0x10, 't', 0, 1, 0, 0, 0, 0});
    Result result = cat(stream);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "{\n \"a\": \n {\n  \"b\": \n  {\n   \"c\": \n,\n  \"y\": 2\n }\n,\n \"z\": 3\n}\n"
              "{\n \"t\": 1\n}\n");
}

TEST_F(BsoncatTest, AFailedReadIsNotACleanEnd) {
    // A directory as standard input: the first read fails.
    Result result = run({"/bin/sh", "-c", "exec " + program("bsoncat") + " </"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "bsoncat: document 1 at byte 0: cannot read the input: Is a directory\n");
}

}  // namespace
}  // namespace systest
