// A bsoncat input stream: bsoncat_run reads the input as its standard input and prints to a
// memory stream. The text must be exactly the documents that a plain walk of the stream finds
// sound, each printed from a block of exactly its own length, and the result must say whether
// the stream ended at a document boundary.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bson.h"
#include "fuzz_check.h"
#include "stream.h"

namespace {

struct Expected {
    std::string text;
    int result;
};

// The stream walked document by document, without the tool's reader.
Expected walk(const uint8_t* data, size_t size) {
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    FUZZ_CHECK(out != nullptr);
    size_t at = 0;
    int result = 0;
    while (at < size) {
        if (size - at < 4) {
            result = -1;
            break;
        }
        uint32_t declared = bson_length(data + at);
        if (declared < BSONCAT_MIN_LENGTH || declared > BSONCAT_MAX_LENGTH ||
            declared > size - at) {
            result = -1;
            break;
        }
        auto document = fuzz::exactCopy(data + at, declared);
        if (bson_check(document.get(), declared) != 0) {
            result = -1;
            break;
        }
        bson_print(out, document.get());
        at += declared;
    }
    std::fclose(out);
    Expected expected{std::string(text, length), result};
    std::free(text);
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto held = fuzz::exactCopy(data, size);
    // fmemopen refuses an empty buffer; an empty input reads as /dev/null does.
    FILE* in = size > 0 ? fmemopen(held.get(), size, "rb") : std::fopen("/dev/null", "rb");
    FUZZ_CHECK(in != nullptr);
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    FUZZ_CHECK(out != nullptr);
    int result = bsoncat_run(in, out);
    std::fclose(in);
    std::fclose(out);
    std::string printed(text, length);
    std::free(text);

    Expected expected = walk(held.get(), size);
    FUZZ_CHECK(result == expected.result);
    FUZZ_CHECK(printed == expected.text);
    // Each printed document opens with its brace at the start of a line.
    FUZZ_CHECK(printed.empty() || printed.rfind("{\n", 0) == 0);
    return 0;
}
