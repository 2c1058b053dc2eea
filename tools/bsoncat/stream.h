// The document stream that bsoncat reads: length-prefixed BSON documents back to back.
#pragma once

#include <cstdint>
#include <cstdio>

// The largest document accepted; anything longer is taken for a broken stream.
constexpr uint32_t BSONCAT_MAX_LENGTH = 4095;
// The smallest length that can hold a document (prefix and terminator).
constexpr uint32_t BSONCAT_MIN_LENGTH = 5;

// Prints every document of `in` to `out`: 0 when the input ended at a document boundary, -1 at
// the first document that is cut short, of a refused length or malformed, with nothing of it
// printed; that document is then named in one line on `err` (unless null).
int bsoncat_run(FILE* in, FILE* out, FILE* err);
