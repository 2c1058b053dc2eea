// BSON builder. Every write goes through one room check against the capacity; numbers are stored
// and read byte by byte, little-endian, so no alignment is assumed.
#include "bson.h"

#include <cstring>

#include "walk.h"

namespace {

constexpr int kFlagMask = BSON_VALID | BSON_OVERFLOW | BSON_NESTING;

void _store(uint8_t* at, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A builder that cannot write anything: every later room check fails.
void _disable(bson_builder* b) {
    *b = {BSON_OVERFLOW, nullptr, 0, 0, nullptr, {nullptr, nullptr}, 0};
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

// The `count` low bytes of value, least significant first.
int _appendLittle(bson_builder* b, uint64_t value, int count) {
    if (!_room(b, static_cast<uint64_t>(count))) {
        return -1;
    }
    _store(b->cursor, value, count);
    b->cursor += count;
    b->length += static_cast<uint32_t>(count);
    return 0;
}

// A text and its NUL. One byte always stays free after it, hence the strict comparison.
int _appendCString(bson_builder* b, const char* text) {
    uint32_t n = static_cast<uint32_t>(strnlen(text, b->capacity));
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
    return _appendLittle(b, type, 1) < 0 ? -1 : _appendCString(b, name);
}

// True when the 4 bytes of a length field at `at` lie inside the buffer, which starts at the
// top-level document (saved once anything is nested).
bool _lengthFieldInside(const bson_builder* b, const uint8_t* at) {
    const uint8_t* start = b->depth == 0 ? b->document : b->saved[0];
    if (start == nullptr || at < start) {
        return false;
    }
    return static_cast<uint64_t>(at - start) + 4 <= b->capacity;
}

// Starts `b` on a buffer whose first `kept` bytes (from 4 up) stay; -1 when the buffer cannot
// hold a document or the bytes kept, else the validity.
int _start(bson_builder* b, uint8_t* buffer, uint32_t capacity, uint32_t kept) {
    if (buffer == nullptr || capacity <= 4 || kept < 4 || kept >= capacity) {
        _disable(b);
        return -1;
    }
    *b = {BSON_VALID, buffer + kept, capacity, kept, buffer, {nullptr, nullptr}, 0};
    _store(buffer, 0, 4);
    return bson_isValid(b);
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
    return b == nullptr ? -1 : _start(b, buffer, capacity, 4);
}

// Appending resumes at the old terminator, which must lie inside the buffer.
int bson_reopen(bson_builder* b, uint8_t* buffer, uint32_t capacity) {
    if (b == nullptr) {
        return -1;
    }
    return _start(b, buffer, capacity,
                  buffer == nullptr || capacity <= 4 ? 0 : _bson_loadUint32(buffer) - 1);
}

int bson_appendInt(bson_builder* b, const char* name, int32_t value) {
    if (b == nullptr || name == nullptr) {
        return -1;
    }
    if (_appendHead(b, BSON_INT32, name) < 0) {
        return -1;
    }
    return _appendLittle(b, static_cast<uint32_t>(value), 4);
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
    return _appendLittle(b, bits, 8);
}

int bson_appendString(bson_builder* b, const char* name, const char* text) {
    if (b == nullptr || name == nullptr || text == nullptr) {
        return -1;
    }
    if (_appendHead(b, BSON_STRING, name) < 0) {
        return -1;
    }
    uint32_t n = static_cast<uint32_t>(strnlen(text, b->capacity));
    if (_appendLittle(b, n + 1, 4) < 0) {
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
    return _appendLittle(b, 0, 4);
}

int bson_endDocument(bson_builder* b) {
    if (b == nullptr) {
        return -1;
    }
    if (b->depth == 0) {
        b->flags |= BSON_NESTING;
        return -1;
    }
    if (_appendLittle(b, 0, 1) < 0) {
        return -1;
    }
    // When the placeholder itself did not fit there is no length field to fill in (it would
    // lie past the buffer); the overflow is already recorded.
    if (_lengthFieldInside(b, b->document)) {
        _store(b->document, static_cast<uint32_t>(b->cursor - b->document), 4);
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
    if (_appendLittle(b, 0, 1) < 0) {
        return -1;
    }
    _store(b->document, b->length, 4);
    return bson_isValid(b);
}

int32_t bson_size(const bson_builder* b) {
    if (b == nullptr || b->document == nullptr) {
        return 0;
    }
    return static_cast<int32_t>(_bson_loadUint32(b->document));
}
