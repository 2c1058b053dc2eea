// Reading documents in place. One function, _measure, holds every size rule of the format, and
// every walk steps with it, so an element's name and size are measured once per visit: bounded
// by the bytes left in the checking cursor, unbounded for the readers of element pointers.
#include <bit>
#include <cstring>

#include "walk.h"

namespace {

// Bytes held for a reader that was given no size.
constexpr size_t kUnbounded = SIZE_MAX;

// Documents nested deeper than the builder makes are still checked (a caller may step into them
// with bson_getDocument); each level takes at least 7 bytes, so no document here comes near it.
constexpr uint32_t kCheckMaxDepth = 1024;

enum class Measure {
    sized,      // `size` is the whole element, inside the bytes held
    unsized,    // unsupported type, or no NUL within the name scan: every walk ends after it
    malformed,  // a stored length out of its range, or an element running past the bytes held
};

// Value bytes of the types whose values have a fixed size.
constexpr int kStoredSize = -1;   // string or embedded document: an int32 length comes first
constexpr int kUnsupported = -2;  // not an element for these readers

int _fixedValueSize(uint8_t type) {
    switch (type) {
        case BSON_DOUBLE:
            return 8;
        case BSON_INT32:
            return 4;
        case BSON_NULL:
            return 0;
        case BSON_STRING:
        case BSON_DOCUMENT:
            return kStoredSize;
        default:
            return kUnsupported;
    }
}

// Fills the element at `at` but its size. The name is measured over `scan` bytes; false when its
// NUL is not among them, and then only the type and the name are told.
bool _measureName(const uint8_t* at, uint32_t scan, bson_element* e) {
    const auto n = static_cast<uint32_t>(strnlen(reinterpret_cast<const char*>(at + 1), scan));
    const bool ended = n < scan;
    *e = {at[0], reinterpret_cast<const char*>(at + 1), ended ? n : BSON_NAME_SCAN,
          ended ? at + n + 2 : nullptr, 0};
    return ended;
}

// Measures the element at `at`, of which `held` bytes (at least 1) may be read. `inline` here and
// on _checkedNext has GCC put the step into each walk: make bench's reads of the small documents
// take a fifth longer without it.
inline Measure _measure(const uint8_t* at, size_t held, bson_element* e) {
    const int fixed = _fixedValueSize(at[0]);
    const auto scan = static_cast<uint32_t>(held - 1 < BSON_NAME_SCAN ? held - 1 : BSON_NAME_SCAN);
    // The name of an unsupported element is not measured: the byte may be the terminator.
    if (!_measureName(at, fixed == kUnsupported ? 0 : scan, e)) {
        return fixed != kUnsupported && scan < BSON_NAME_SCAN ? Measure::malformed
                                                              : Measure::unsized;
    }
    const size_t head = e->nameLength + 2;  // type byte, name, NUL
    size_t size = head + (fixed > 0 ? fixed : 0);
    if (fixed == kStoredSize) {
        // A string's length counts its text and NUL (at least 1), an embedded document's counts
        // itself (at least 5); a smaller one would step backwards or into the length field.
        if (head + 4 > held) {
            return Measure::malformed;
        }
        const uint32_t stored = _bson_loadUint32(e->value);
        const bool string = e->type == BSON_STRING;
        if (stored < (string ? 1u : 5u) || stored > INT32_MAX) {
            return Measure::malformed;
        }
        size += stored + (string ? 4 : 0);
    }
    if (size > held) {
        return Measure::malformed;
    }
    e->size = static_cast<uint32_t>(size);
    return Measure::sized;
}

int _checkDocument(const uint8_t* document, uint32_t length, uint32_t depth);

// What the readers take on trust from a sized element and the check makes sure of: a string
// ends with its NUL, an embedded document is sound throughout.
bool _soundValue(const bson_element* e, uint32_t depth) {
    if (e->type == BSON_STRING) {
        return e->value[3 + _bson_loadUint32(e->value)] == 0;
    }
    if (e->type == BSON_DOCUMENT) {
        return depth < kCheckMaxDepth &&
               _checkDocument(e->value, _bson_loadUint32(e->value), depth + 1) == 0;
    }
    return true;
}

// bson_cursorNext for a document `depth` levels below the one the walk started in.
inline int _checkedNext(bson_cursor* c, bson_element* e, uint32_t depth) {
    if (c->at == nullptr) {
        return -1;
    }
    if (c->left == 0) {
        return 0;
    }
    // The first zero type byte must be the terminator, where the length prefix says it is.
    Measure m = *c->at == 0 ? Measure::malformed : _measure(c->at, c->left, e);
    if (m == Measure::sized && !_soundValue(e, depth)) {
        m = Measure::malformed;
    }
    if (m == Measure::malformed) {
        c->at = nullptr;
        c->left = 0;
        return -1;
    }
    // Every reader stops at an unsized element, so nothing after it needs to be sound. Its name
    // ends inside the document, before the terminator at the latest.
    const size_t step = m == Measure::sized ? e->size : c->left;
    c->at += step;
    c->left -= step;
    return 1;
}

// The document of `length` bytes (5 or more, all held) at `document`, `depth` levels down.
int _checkDocument(const uint8_t* document, uint32_t length, uint32_t depth) {
    if (document[length - 1] != 0) {
        return -1;
    }
    bson_cursor c{document + 4, length - 5};
    bson_element e;
    int result;
    while ((result = _checkedNext(&c, &e, depth)) > 0) {
    }
    return result;
}

// A typed read: 0 and read(value) into *out when `e` is of `type` with a name short enough.
template <class T, class Read>
int _readTyped(const bson_element* e, uint8_t type, T* out, Read read) {
    if (e == nullptr || out == nullptr || e->type != type || e->value == nullptr ||
        e->nameLength >= BSON_NAME_SCAN - 1) {
        return -1;
    }
    *out = read(e->value);
    return 0;
}

// The element after `element` in a walk that trusts the sizes: none after an element that has no
// size, or at the terminator.
const uint8_t* _after(const uint8_t* element) {
    bson_element e;
    if (_measure(element, kUnbounded, &e) != Measure::sized || element[e.size] == 0) {
        return nullptr;
    }
    return element + e.size;
}

// A typed read of the element at `element`, its name measured once its type is known to match.
template <class T>
int _getTyped(const uint8_t* element, uint8_t type, T* out, int (*read)(const bson_element*, T*)) {
    if (element == nullptr || element[0] != type) {
        return -1;
    }
    bson_element e;
    _measureName(element, BSON_NAME_SCAN, &e);
    return read(&e, out);
}

}  // namespace

bson_cursor _bson_trustingCursor(const uint8_t* document) {
    return {document == nullptr ? nullptr : document + 4, kUnbounded};
}

const uint8_t* _bson_trustedNext(bson_cursor* cursor, bson_element* element) {
    const uint8_t* at = cursor->at;
    if (at == nullptr || *at == 0) {
        return nullptr;
    }
    // A walk without bounds ends after an element that has no size.
    cursor->at = _measure(at, kUnbounded, element) == Measure::sized ? at + element->size : nullptr;
    return at;
}

int bson_cursorInit(bson_cursor* cursor, const uint8_t* document, uint32_t size) {
    if (cursor == nullptr) {
        return -1;
    }
    *cursor = {nullptr, 0};
    if (document == nullptr || size < 5) {
        return -1;
    }
    const uint32_t length = _bson_loadUint32(document);
    if (length < 5 || length > size || document[length - 1] != 0) {
        return -1;
    }
    *cursor = {document + 4, length - 5};
    return 0;
}

int bson_cursorNext(bson_cursor* cursor, bson_element* element) {
    if (cursor == nullptr || element == nullptr) {
        return -1;
    }
    return _checkedNext(cursor, element, 0);
}

int bson_check(const uint8_t* document, uint32_t size) {
    return bson_findAll(document, size, nullptr, 0, nullptr);
}

int bson_findAll(const uint8_t* document, uint32_t size, const char* const* names, int count,
                 bson_element* found) {
    for (int k = 0; k < count; ++k) {
        found[k].type = 0;
    }
    bson_cursor c;
    if (bson_cursorInit(&c, document, size) != 0) {
        return -1;
    }
    bson_element e;
    int result;
    while ((result = _checkedNext(&c, &e, 0)) > 0) {
        // The name ends inside the document, at its terminator at the latest.
        int k = 0;
        while (k < count && std::strcmp(e.name, names[k]) != 0) {
            ++k;
        }
        if (k < count && found[k].type == 0) {
            found[k] = e;
        }
    }
    return result;
}

int bson_elementInt(const bson_element* element, int32_t* out) {
    return _readTyped(element, BSON_INT32, out,
                      [](const uint8_t* v) { return static_cast<int32_t>(_bson_loadUint32(v)); });
}

int bson_elementDouble(const bson_element* element, double* out) {
    return _readTyped(element, BSON_DOUBLE, out, [](const uint8_t* v) {
        return std::bit_cast<double>(_bson_loadUint32(v) | uint64_t{_bson_loadUint32(v + 4)} << 32);
    });
}

int bson_elementString(const bson_element* element, const char** out) {
    return _readTyped(element, BSON_STRING, out,
                      [](const uint8_t* v) { return reinterpret_cast<const char*>(v + 4); });
}

int bson_elementDocument(const bson_element* element, const uint8_t** out) {
    return _readTyped(element, BSON_DOCUMENT, out, [](const uint8_t* v) { return v; });
}

uint32_t bson_length(const uint8_t* document) {
    return document == nullptr ? 0 : _bson_loadUint32(document);
}

uint32_t bson_elementSize(const uint8_t* element) {
    bson_element e;
    if (element == nullptr || _measure(element, kUnbounded, &e) != Measure::sized) {
        return 0;
    }
    return e.size;
}

const uint8_t* bson_firstElement(const uint8_t* document) {
    if (document == nullptr || document[4] == 0) {
        return nullptr;
    }
    return document + 4;
}

const uint8_t* bson_nextElement(const uint8_t* element) {
    return element == nullptr ? nullptr : _after(element);
}

const uint8_t* bson_find(const uint8_t* document, const char* name) {
    if (document == nullptr || name == nullptr) {
        return nullptr;
    }
    for (const uint8_t* e = bson_firstElement(document); e != nullptr; e = _after(e)) {
        // The first byte tells most names apart without a call: a quarter off the status read.
        const auto* candidate = reinterpret_cast<const char*>(e + 1);
        if (candidate[0] == name[0] && std::strncmp(candidate, name, BSON_NAME_SCAN) == 0) {
            return e;
        }
    }
    return nullptr;
}

int bson_getInt(const uint8_t* element, int32_t* out) {
    return _getTyped(element, BSON_INT32, out, bson_elementInt);
}

int bson_getDouble(const uint8_t* element, double* out) {
    return _getTyped(element, BSON_DOUBLE, out, bson_elementDouble);
}

int bson_getString(const uint8_t* element, const char** out) {
    return _getTyped(element, BSON_STRING, out, bson_elementString);
}

int bson_getDocument(const uint8_t* element, const uint8_t** out) {
    return _getTyped(element, BSON_DOCUMENT, out, bson_elementDocument);
}
