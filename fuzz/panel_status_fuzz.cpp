// The status answer as paneld parses it: the IntersectionStatus constructor over the bytes
// received, then the three pages drawn from the result.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bson.h"
#include "fuzz_check.h"
#include "pages.h"
#include "status.h"

namespace {

// The texts the constructor may fail with; anything else is a fault.
bool knownFailure(const std::string& what) {
    static const char* const prefixes[] = {
        "The Intersection Status BSON document was too short: ",
        "The Intersection Status BSON document thought it was too large: ",
        "The Intersection Status BSON document is malformed.",
        "The BSON docuemnt was missing an expected object.",
        "The IIS BSON document doesn't contain count information.",
    };
    for (const char* prefix : prefixes) {
        if (what.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

bool displayable(char c) {
    return (c >= ' ' && c <= '~') || c == GLYPH_NONE || c == GLYPH_GOOD || c == GLYPH_BAD;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // paneld receives into a 1024-byte buffer; a longer datagram arrives cut to that.
    size = size > 1024 ? 1024 : size;
    auto held = fuzz::exactCopy(data, size);
    IntersectionStatus status;
    try {
        status = IntersectionStatus(held.get(), static_cast<uint32_t>(size));
    } catch (const std::runtime_error& error) {
        FUZZ_CHECK(knownFailure(error.what()));
        return 0;
    }
    // Accepted only what the document check accepts, within the bytes received.
    FUZZ_CHECK(size >= 5 && bson_length(held.get()) <= size);
    FUZZ_CHECK(bson_check(held.get(), static_cast<uint32_t>(size)) == 0);
    for (uint32_t page = 1; page <= 3; ++page) {
        for (char heartbeat : {'/', '\\'}) {
            std::string text = pageText(page, heartbeat, status);
            FUZZ_CHECK(text.size() == 33 && text[16] == '\n');
            for (size_t i = 0; i < text.size(); ++i) {
                FUZZ_CHECK(i == 16 || displayable(text[i]));
            }
        }
    }
    return 0;
}
