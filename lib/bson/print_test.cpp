#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bson.h"
#include "bson_writer.h"
#include "capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Runs the printer on a memory stream; returns its result and the text.
int printed(const uint8_t* document, std::string* text, int depth = 0) {
    int result = 0;
    *text = captured([&](FILE* stream) { result = bson_printDepth(stream, document, depth); });
    return result;
}

// A stream that takes `room` bytes and then fails every write.
struct Limited {
    size_t room;
    std::string text;
};

ssize_t limitedWrite(void* cookie, const char* data, size_t size) {
    auto* limited = static_cast<Limited*>(cookie);
    if (limited->room == 0) {
        return -1;
    }
    size_t taken = size < limited->room ? size : limited->room;
    limited->text.append(data, taken);
    limited->room -= taken;
    return static_cast<ssize_t>(taken);
}

int printedWithin(const uint8_t* document, Limited* limited) {
    FILE* stream = fopencookie(limited, "w", {nullptr, limitedWrite, nullptr, nullptr});
    setvbuf(stream, nullptr, _IONBF, 0);
    int result = bson_print(stream, document);
    std::fclose(stream);
    return result;
}

Bytes example() {
    uint8_t buffer[128];
    bson_builder b;
    bson_init(&b, buffer, sizeof buffer);
    bson_appendInt(&b, "t", 5);
    bson_beginDocument(&b, "sub");
    bson_appendInt(&b, "a", 1);
    bson_endDocument(&b);
    bson_appendString(&b, "s", "x");
    bson_appendDouble(&b, "d", 1.5);
    bson_appendNull(&b, "n");
    EXPECT_EQ(bson_finish(&b), 1);
    return Bytes(buffer, buffer + bson_size(&b));
}

const char* const kExample =
    "{\n"
    " \"t\": 5,\n"
    " \"sub\": \n"
    " {\n"
    "  \"a\": 1\n"
    " }\n"
    ",\n"
    " \"s\": x,\n"
    " \"d\": 1.500000,\n"
    " \"n\": NULL\n"
    "}\n";

TEST(BsonPrint, ExampleDocumentLineForLine) {
    Bytes doc = example();
    std::string text;
    EXPECT_EQ(printed(doc.data(), &text), 0);
    EXPECT_EQ(text, kExample);
}

TEST(BsonPrint, EmptyAndNullDocumentsAreTwoIndentedLines) {
    const uint8_t empty[] = {5, 0, 0, 0, 0};
    const char* expected[] = {"{\n}\n", " {\n }\n", "  {\n  }\n"};
    for (int depth = 0; depth <= 2; ++depth) {
        std::string text;
        EXPECT_EQ(printed(empty, &text, depth), 0);
        EXPECT_EQ(text, expected[depth]);
        EXPECT_EQ(printed(nullptr, &text, depth), 0);
        EXPECT_EQ(text, expected[depth]);
    }
    std::string text;
    EXPECT_EQ(printed(empty, &text, 3), -1);
    EXPECT_EQ(printed(empty, &text, -1), -1);
    EXPECT_EQ(text, "");
}

struct StopCase {
    const char* what;
    Bytes document;
    std::string expected;
};

TEST(BsonPrint, StopRules) {
    const StopCase cases[] = {
        {"unsupported type stops the document",
         {16, 0, 0, 0, 0x10, 'i', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x08, 'b', 0, 1, 0},
         "{\n \"i\": -1,\n \"b\": "},
        {"last element embedded leaves an empty line",
         {13, 0, 0, 0, 0x03, 'e', 0, 5, 0, 0, 0, 0, 0},
         "{\n \"e\": \n {\n }\n\n}\n"},
        {"unsupported type inside an embedded document stops only that one",
         {19, 0, 0, 0, 0x03, 'e', 0, 8, 0, 0, 0, 0x08, 'b', 0, 0, 0x0A, 'n', 0, 0},
         "{\n \"e\": \n {\n  \"b\": ,\n \"n\": NULL\n}\n"},
        {"text with a line feed and a quote is written unchanged",
         {17, 0, 0, 0, 0x02, 's', 0, 5, 0, 0, 0, 'a', '\n', '"', 'b', 0, 0},
         "{\n \"s\": a\n\"b\n}\n"},
        {"a document at depth 3 stops its parent after the name line",
         {36,   0,   0, 0,  0x03, 'a', 0, 28,   0,   0, 0, 0x03, 'b', 0, 20, 0, 0, 0,
          0x03, 'c', 0, 12, 0,    0,   0, 0x10, 'x', 0, 1, 0,    0,   0, 0,  0, 0, 0},
         "{\n \"a\": \n {\n  \"b\": \n  {\n   \"c\": \n\n }\n\n}\n"},
        {"a name of 127 bytes stops the document after its name line",
         testbson::intDocument({{std::string(127, 'k'), 1}, {"z", 2}}),
         "{\n \"" + std::string(127, 'k') + "\": "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text;
        EXPECT_EQ(printed(c.document.data(), &text), 0);
        EXPECT_EQ(text, c.expected);
    }
}

struct LimitCase {
    const char* what;
    size_t room;
    int expected;
};

TEST(BsonPrint, FailedWritesOfFramingReportMinusOne) {
    Bytes doc = example();
    const std::string full = kExample;
    const LimitCase cases[] = {
        {"opening line", 0, -1},
        {"inside the first name line", 5, 0},
        {"separator after the first element", full.find(",\n"), -1},
        {"embedded stops early, then the parent's separator fails", full.find("\"a\""), -1},
        {"closing line", full.size() - 1, -1},
        {"everything fits", full.size(), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Limited limited{c.room, ""};
        EXPECT_EQ(printedWithin(doc.data(), &limited), c.expected);
        EXPECT_EQ(limited.text, full.substr(0, c.room));
    }
}

}  // namespace
