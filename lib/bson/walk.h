// Inside the BSON library: the stored lengths, and the printer's walk, which trusts the sizes the
// bytes claim as bson_firstElement and bson_nextElement do.
#pragma once

#include "bson.h"

inline uint32_t _bson_loadUint32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// A cursor at the first element of `document`; one that hands out nothing for a null document.
bson_cursor _bson_trustingCursor(const uint8_t* document);
// The next element, measured into `element`; null at the terminator and after an element that
// cannot be stepped over.
const uint8_t* _bson_trustedNext(bson_cursor* cursor, bson_element* element);
