// The document stream that bsoncat reads: length-prefixed BSON documents back to back.
#pragma once

#include <cstdint>
#include <cstdio>

// The largest document accepted; anything longer is taken for a broken stream.
constexpr uint32_t BSONCAT_MAX_LENGTH = 4095;
// The smallest length that can hold a document (prefix and terminator).
constexpr uint32_t BSONCAT_MIN_LENGTH = 5;

enum bsoncat_result { BSONCAT_PRINTED, BSONCAT_END, BSONCAT_BROKEN };

// Reads the next document from `in`, checks it and prints it to `out`. BSONCAT_END when the
// input ended cleanly before it; BSONCAT_BROKEN, with nothing of it printed, when it is cut
// short, of a refused length or malformed.
bsoncat_result bsoncat_next(FILE* in, FILE* out);

// Prints every document of `in` to `out`: 0 when the input ended at a document boundary, -1 at
// the first broken document.
int bsoncat_run(FILE* in, FILE* out);
