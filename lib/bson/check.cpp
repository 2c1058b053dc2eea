// Complete check of a received document against the bytes actually held. It walks the elements
// exactly as the readers and the printer do and refuses anything that would lead one of them
// outside the document. Offsets are 64-bit so that no sum of claimed lengths can wrap.
#include <cstdint>

#include "bson.h"

namespace {

// Embedded documents deeper than the builder makes are still well-formed: the printer shows
// their parents and stops at them, and a caller may step into them with bson_getDocument, so
// every level is checked. The recursion is bounded all the same; each level takes at least 7
// bytes, so no document of this system (4095 bytes at most) comes near this.
constexpr uint32_t kCheckMaxDepth = 1024;

bool _supported(uint8_t type) {
    return type == BSON_DOUBLE || type == BSON_STRING || type == BSON_DOCUMENT ||
           type == BSON_NULL || type == BSON_INT32;
}

// Checks the document of `length` bytes at `doc`; the caller has made sure that these bytes are
// held and that length >= 5. `depth` is 0 for the top level.
int _checkDocument(const uint8_t* doc, uint64_t length, uint32_t depth) {
    const uint64_t end = length - 1;  // offset of the terminator
    if (doc[end] != 0) {
        return -1;
    }
    uint64_t pos = 4;
    while (doc[pos] != 0) {
        // The final byte is 0, so the name always ends inside the document.
        uint64_t nameEnd = pos + 1;
        while (doc[nameEnd] != 0) {
            ++nameEnd;
        }
        uint64_t n = nameEnd - pos - 1;
        // Every reader stops at an element that has no size; the printer shows its name, which
        // is terminated inside the document.
        if (!_supported(doc[pos]) || n >= BSON_NAME_SCAN) {
            return 0;
        }
        uint64_t value = pos + n + 2;
        uint64_t size = 0;
        switch (doc[pos]) {
            case BSON_DOUBLE:
                size = n + 10;
                break;
            case BSON_NULL:
                size = n + 2;
                break;
            case BSON_INT32:
                size = n + 6;
                break;
            case BSON_STRING: {
                if (value + 4 > end) {
                    return -1;
                }
                uint32_t text = bson_length(doc + value);
                if (text < 1 || text > INT32_MAX) {
                    return -1;
                }
                size = n + 6 + text;
                if (pos + size > end || doc[pos + size - 1] != 0) {
                    return -1;
                }
                break;
            }
            default: {  // BSON_DOCUMENT
                if (depth >= kCheckMaxDepth || value + 4 > end) {
                    return -1;
                }
                uint32_t stored = bson_length(doc + value);
                if (stored < 5 || stored > INT32_MAX) {
                    return -1;
                }
                size = n + 2 + stored;
                if (pos + size > end || _checkDocument(doc + value, stored, depth + 1) < 0) {
                    return -1;
                }
                break;
            }
        }
        // The element, and the byte after it that the walk looks at, lie before the terminator.
        if (pos + size > end) {
            return -1;
        }
        pos += size;
    }
    // The walk ends at a zero type byte; anything but the real terminator means the length
    // prefix and the elements disagree.
    return pos == end ? 0 : -1;
}

}  // namespace

int bson_check(const uint8_t* document, uint32_t size) {
    if (document == nullptr || size < 5) {
        return -1;
    }
    uint32_t length = bson_length(document);
    if (length < 5 || length > size) {
        return -1;
    }
    return _checkDocument(document, length, 0);
}
