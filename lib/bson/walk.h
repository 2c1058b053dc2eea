// Inside the BSON library: the printer's walk. It trusts the sizes the bytes claim, as
// bson_firstElement and bson_nextElement do (the printer's callers check received bytes first),
// and hands out each element measured once.
#pragma once

#include "bson.h"

// A cursor at the first element of `document`; one that hands out nothing for a null document.
bson_cursor _bson_trustingCursor(const uint8_t* document);
// The next element, measured into `element`; null at the terminator and after an element that
// cannot be stepped over.
const uint8_t* _bson_trustedNext(bson_cursor* cursor, bson_element* element);
