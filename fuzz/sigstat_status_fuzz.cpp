// The status answer as sigstat parses and prints it: sigstat_parse over the bytes received,
// then every output form of an accepted answer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "bson.h"
#include "capture.h"
#include "fuzz_check.h"
#include "sigstat.h"

namespace {

// "<tag>decimal</tag>\n" lines in the fixed order, nothing else.
bool taggedLines(const std::string& text) {
    static const char* const tags[] = {"dw",       "walk",     "clear", "pcalls",
                                       "apscalls", "vokcalls", "bads",  "goods"};
    size_t at = 0;
    for (const char* tag : tags) {
        std::string open = std::string("<") + tag + ">";
        std::string close = std::string("</") + tag + ">\n";
        if (text.compare(at, open.size(), open) != 0) {
            return false;
        }
        at += open.size();
        size_t digits = at + (text[at] == '-' ? 1 : 0);
        size_t end = text.find_first_not_of("0123456789", digits);
        if (end == std::string::npos || end == digits || end - digits > 10) {
            return false;
        }
        if (text.compare(end, close.size(), close) != 0) {
            return false;
        }
        at = end + close.size();
    }
    return at == text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // sigstat receives at most 1024 bytes into its buffer.
    size = size > 1024 ? 1024 : size;
    auto held = fuzz::exactCopy(data, size);
    cid_status status{};
    if (sigstat_parse(held.get(), size, &status) != 0) {
        return 0;
    }
    FUZZ_CHECK(size >= 5 && size < 1024 && bson_length(held.get()) == size);
    FUZZ_CHECK(bson_check(held.get(), static_cast<uint32_t>(size)) == 0);

    std::string summary = captured([&](FILE* s) { sigstat_write(s, SIGSTAT_NIFTY, &status); });
    FUZZ_CHECK(summary.size() == 14 && summary.rfind("Ped: ", 0) == 0 && summary[13] == '\n');
    FUZZ_CHECK(summary.find_first_not_of("^X/?", 5) == 13);

    std::string hex = captured([&](FILE* s) { sigstat_write(s, SIGSTAT_HEX, &status); });
    unsigned w = 0, dw = 0, pc = 0;
    int used = 0;
    FUZZ_CHECK(std::sscanf(hex.c_str(), "%X %X %X\n%n", &w, &dw, &pc, &used) == 3);
    FUZZ_CHECK(static_cast<size_t>(used) == hex.size());
    FUZZ_CHECK(w == static_cast<unsigned>(status.value[CID_W]) &&
               dw == static_cast<unsigned>(status.value[CID_DW]) &&
               pc == static_cast<unsigned>(status.value[CID_PC]));

    FUZZ_CHECK(taggedLines(captured([&](FILE* s) { sigstat_write(s, SIGSTAT_XML, &status); })));

    // The text form prints the accepted answer itself.
    std::string json = captured([&](FILE* s) { bson_print(s, held.get()); });
    FUZZ_CHECK(json.rfind("{\n", 0) == 0);
    return 0;
}
