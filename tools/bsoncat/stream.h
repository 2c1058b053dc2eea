// The document stream that bsoncat reads: length-prefixed BSON documents back to back.
#pragma once

#include <cstdint>
#include <cstdio>

// The largest document accepted; anything longer is taken for a broken stream.
constexpr uint32_t BSONCAT_MAX_LENGTH = 4095;
// The smallest length that can hold a document (prefix and terminator).
constexpr uint32_t BSONCAT_MIN_LENGTH = 5;

enum bsoncat_result { BSONCAT_PRINTED, BSONCAT_END, BSONCAT_BROKEN };

// Where the reader stands: the number of the next document (from 1) and the input offset at which
// it starts; after a refusal, why the document was refused.
struct bsoncat_position {
    uint32_t document;
    uint64_t offset;
    char why[80];
};

// Reads the next document from `in`, checks it and prints it to `out`, then moves `at` past it.
// BSONCAT_END when the input ended cleanly before it; BSONCAT_BROKEN, with nothing of it printed
// and the reason in at->why, when it is cut short, of a refused length or malformed.
bsoncat_result bsoncat_next(FILE* in, FILE* out, bsoncat_position* at);

// Prints every document of `in` to `out`: 0 when the input ended at a document boundary, -1 at
// the first broken document, which is then named in one line on `err` (unless null).
int bsoncat_run(FILE* in, FILE* out, FILE* err);
