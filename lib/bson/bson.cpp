// BSON builder. Every write goes through one room check against the capacity; numbers are stored
// and read byte by byte, little-endian, so no alignment is assumed.
#include "bson.h"

#include <cstring>

namespace {

constexpr int kFlagMask = BSON_VALID | BSON_OVERFLOW | BSON_NESTING;

void _storeInt32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t _loadUint32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// Length of the NUL-terminated text at p, looking at no more than limit bytes; limit when there
// is no NUL among them.
uint32_t _boundedLength(const uint8_t* p, uint32_t limit) {
    uint32_t n = 0;
    while (n < limit && p[n] != 0) {
        ++n;
    }
    return n;
}

// A builder that cannot write anything: every later room check fails.
void _disable(bson_builder* b) {
    b->flags = BSON_OVERFLOW;
    b->cursor = nullptr;
    b->document = nullptr;
    b->saved[0] = nullptr;
    b->saved[1] = nullptr;
    b->capacity = 0;
    b->length = 0;
    b->depth = 0;
}

// True when `count` more bytes fit; otherwise marks the overflow.
bool _room(bson_builder* b, uint64_t count) {
    if (b->cursor != nullptr && b->length <= b->capacity &&
        static_cast<uint64_t>(b->length) + count <= b->capacity) {
        return true;
    }
    b->flags |= BSON_OVERFLOW;
    return false;
}

int _appendByte(bson_builder* b, uint8_t value) {
    if (!_room(b, 1)) {
        return -1;
    }
    *b->cursor++ = value;
    b->length += 1;
    return 0;
}

int _appendInt32(bson_builder* b, uint32_t value) {
    if (!_room(b, 4)) {
        return -1;
    }
    _storeInt32(b->cursor, value);
    b->cursor += 4;
    b->length += 4;
    return 0;
}

int _appendInt64(bson_builder* b, uint64_t value) {
    if (!_room(b, 8)) {
        return -1;
    }
    for (int i = 0; i < 8; ++i) {
        b->cursor[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    b->cursor += 8;
    b->length += 8;
    return 0;
}

// A text and its NUL. One byte always stays free after it, hence the strict comparison.
int _appendCString(bson_builder* b, const char* text) {
    uint32_t n = _boundedLength(reinterpret_cast<const uint8_t*>(text), b->capacity);
    if (!_room(b, static_cast<uint64_t>(n) + 2)) {
        return -1;
    }
    std::memcpy(b->cursor, text, n);
    b->cursor[n] = 0;
    b->cursor += n + 1;
    b->length += n + 1;
    return 0;
}

int _appendHead(bson_builder* b, uint8_t type, const char* name) {
    if (_appendByte(b, type) < 0) {
        return -1;
    }
    return _appendCString(b, name);
}

// Start of the buffer: the top-level document, which is saved once anything is nested.
uint8_t* _bufferStart(const bson_builder* b) {
    return b->depth == 0 ? b->document : b->saved[0];
}

// True when the 4 bytes of a length field at `at` lie inside the buffer.
bool _lengthFieldInside(const bson_builder* b, const uint8_t* at) {
    const uint8_t* start = _bufferStart(b);
    if (start == nullptr || at < start) {
        return false;
    }
    return static_cast<uint64_t>(at - start) + 4 <= b->capacity;
}

}  // namespace

int bson_isValid(const bson_builder* b) {
    if (b == nullptr) {
        return 0;
    }
    bool valid = (b->flags & kFlagMask) == BSON_VALID && b->cursor >= b->document &&
                 b->depth <= BSON_MAX_DEPTH && b->capacity > 4 && b->length <= b->capacity;
    return valid ? 1 : 0;
}

int bson_init(bson_builder* b, uint8_t* buffer, uint32_t capacity) {
    if (b == nullptr) {
        return -1;
    }
    if (buffer == nullptr || capacity <= 4) {
        _disable(b);
        return -1;
    }
    b->document = b->cursor = buffer;
    b->saved[0] = b->saved[1] = nullptr;
    b->capacity = capacity;
    b->flags = BSON_VALID;
    b->depth = 0;
    b->length = 0;
    _appendInt32(b, 0);
    return bson_isValid(b);
}

int bson_reopen(bson_builder* b, uint8_t* buffer, uint32_t capacity) {
    if (b == nullptr) {
        return -1;
    }
    if (buffer == nullptr || capacity <= 4) {
        _disable(b);
        return -1;
    }
    // The old terminator, where appending resumes, must lie inside the buffer.
    uint32_t stored = _loadUint32(buffer);
    if (stored < 5 || stored > capacity) {
        _disable(b);
        return -1;
    }
    b->flags = BSON_VALID;
    b->document = buffer;
    b->saved[0] = b->saved[1] = nullptr;
    b->capacity = capacity;
    b->depth = 0;
    _storeInt32(buffer, 0);
    b->cursor = buffer + stored - 1;
    b->length = stored - 1;
    return bson_isValid(b);
}

int bson_appendInt(bson_builder* b, const char* name, int32_t value) {
    if (b == nullptr || name == nullptr) {
        return -1;
    }
    if (_appendHead(b, BSON_INT32, name) < 0) {
        return -1;
    }
    return _appendInt32(b, static_cast<uint32_t>(value));
}

int bson_appendDouble(bson_builder* b, const char* name, double value) {
    if (b == nullptr || name == nullptr) {
        return -1;
    }
    if (_appendHead(b, BSON_DOUBLE, name) < 0) {
        return -1;
    }
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return _appendInt64(b, bits);
}

int bson_appendString(bson_builder* b, const char* name, const char* text) {
    if (b == nullptr || name == nullptr || text == nullptr) {
        return -1;
    }
    if (_appendHead(b, BSON_STRING, name) < 0) {
        return -1;
    }
    uint32_t n = _boundedLength(reinterpret_cast<const uint8_t*>(text), b->capacity);
    if (_appendInt32(b, n + 1) < 0) {
        return -1;
    }
    return _appendCString(b, text);
}

int bson_appendNull(bson_builder* b, const char* name) {
    if (b == nullptr || name == nullptr) {
        return -1;
    }
    return _appendHead(b, BSON_NULL, name);
}

int bson_beginDocument(bson_builder* b, const char* name) {
    if (b == nullptr || name == nullptr) {
        return -1;
    }
    if (_appendHead(b, BSON_DOCUMENT, name) < 0) {
        return -1;
    }
    if (b->depth >= BSON_MAX_DEPTH) {
        b->flags |= BSON_NESTING;
        return -1;
    }
    b->saved[b->depth] = b->document;
    b->depth += 1;
    b->document = b->cursor;
    return _appendInt32(b, 0);
}

int bson_endDocument(bson_builder* b) {
    if (b == nullptr) {
        return -1;
    }
    if (b->depth == 0) {
        b->flags |= BSON_NESTING;
        return -1;
    }
    if (_appendByte(b, 0) < 0) {
        return -1;
    }
    // When the placeholder itself did not fit there is no length field to fill in (it would
    // lie past the buffer); the overflow is already recorded.
    if (_lengthFieldInside(b, b->document)) {
        _storeInt32(b->document, static_cast<uint32_t>(b->cursor - b->document));
    }
    b->document = b->saved[b->depth - 1];
    b->depth -= 1;
    return 0;
}

int bson_finish(bson_builder* b) {
    if (b == nullptr) {
        return -1;
    }
    // Finishing inside an embedded document would store the total length in the wrong place.
    if (b->depth != 0) {
        b->flags |= BSON_NESTING;
        return -1;
    }
    if (_appendByte(b, 0) < 0) {
        return -1;
    }
    _storeInt32(b->document, b->length);
    return bson_isValid(b);
}

int32_t bson_size(const bson_builder* b) {
    if (b == nullptr || b->document == nullptr) {
        return 0;
    }
    return static_cast<int32_t>(_loadUint32(b->document));
}
