// A bsoncat input stream: bsoncat_run reads the input as its standard input and prints to a
// memory stream. The text must be exactly the documents that a plain walk of the stream finds
// sound, each printed from a block of exactly its own length, the result must say whether the
// stream ended at a document boundary, and a refusal must be named in one line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bson.h"
#include "capture.h"
#include "fuzz_check.h"
#include "stream.h"

namespace {

struct Expected {
    std::string text;
    int result;
    std::string refusal;  // the start of the refusal line: which document, at which byte
};

// The stream walked document by document, without the tool's reader.
Expected walk(const uint8_t* data, size_t size) {
    Capture out;
    size_t at = 0;
    size_t count = 0;
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
        bson_print(out.stream(), document.get());
        at += declared;
        ++count;
    }
    return {
        out.text(), result,
        "bsoncat: document " + std::to_string(count + 1) + " at byte " + std::to_string(at) + ": "};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto held = fuzz::exactCopy(data, size);
    // fmemopen refuses an empty buffer; an empty input reads as /dev/null does.
    FILE* in = size > 0 ? fmemopen(held.get(), size, "rb") : std::fopen("/dev/null", "rb");
    FUZZ_CHECK(in != nullptr);
    Capture out;
    Capture err;
    int result = bsoncat_run(in, out.stream(), err.stream());
    std::fclose(in);
    std::string printed = out.text();
    std::string refusal = err.text();

    Expected expected = walk(held.get(), size);
    FUZZ_CHECK(result == expected.result);
    FUZZ_CHECK(printed == expected.text);
    // A refusal is one line that names the document; a clean end says nothing.
    FUZZ_CHECK(result == 0 ? refusal.empty()
                           : refusal.rfind(expected.refusal, 0) == 0 &&
                                 refusal.find('\n') == refusal.size() - 1);
    // Each printed document opens with its brace at the start of a line.
    FUZZ_CHECK(printed.empty() || printed.rfind("{\n", 0) == 0);
    return 0;
}
