// Shared by the fuzz targets: an invariant that must hold for every input, and exact-size
// copies of the input so that AddressSanitizer catches any read past the bytes held.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_SANITIZED 1
#endif
#endif

#ifdef FUZZ_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace fuzz {

// Says which invariant broke, through the sanitizer's report channel where there is one (it
// stays open when libFuzzer closes the target's standard error), then aborts, so that libFuzzer
// saves the input.
[[noreturn]] inline void broken(const char* text) {
#ifdef FUZZ_SANITIZED
    __sanitizer_report_error_summary(text);
#else
    std::fprintf(stderr, "%s\n", text);
#endif
    std::abort();
}

}  // namespace fuzz

#define FUZZ_STRING(x) #x
#define FUZZ_LINE(x) FUZZ_STRING(x)
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fuzz::broken("invariant broken at " __FILE__ ":" FUZZ_LINE(__LINE__) ": " #condition); \
        }                                                                                          \
    } while (0)

namespace fuzz {

// A heap block of exactly `size` bytes holding a copy of `data`; never null, even for size 0.
inline std::unique_ptr<uint8_t[]> exactCopy(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    if (size > 0) {
        std::memcpy(copy.get(), data, size);
    }
    return copy;
}

// True when [pointer, pointer + length) lies inside [begin, begin + size).
inline bool inside(const uint8_t* pointer, size_t length, const uint8_t* begin, size_t size) {
    return pointer >= begin && pointer <= begin + size &&
           length <= static_cast<size_t>(begin + size - pointer);
}

}  // namespace fuzz
