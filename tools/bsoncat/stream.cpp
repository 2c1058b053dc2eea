#include "stream.h"

#include <cstdlib>

#include "bson.h"

bsoncat_result bsoncat_next(FILE* in, FILE* out) {
    uint8_t* buffer = static_cast<uint8_t*>(malloc(4));
    if (buffer == nullptr) {
        return BSONCAT_BROKEN;
    }
    size_t got = fread(buffer, 1, 4, in);
    if (got < 4) {
        free(buffer);
        // Only the end of the input is a clean end; a failed read is not.
        return got == 0 && !ferror(in) ? BSONCAT_END : BSONCAT_BROKEN;
    }
    uint32_t length = bson_length(buffer);
    if (length > BSONCAT_MAX_LENGTH || length < BSONCAT_MIN_LENGTH) {
        free(buffer);
        return BSONCAT_BROKEN;
    }
    uint8_t* grown = static_cast<uint8_t*>(realloc(buffer, length));
    if (grown == nullptr) {
        free(buffer);
        return BSONCAT_BROKEN;
    }
    buffer = grown;
    bool whole = fread(buffer + 4, 1, length - 4, in) == length - 4;
    // The printer walks by the sizes inside the document; a document that lies about them is
    // refused whole rather than printed past its end.
    bool sound = whole && bson_check(buffer, length) == 0;
    if (sound) {
        bson_print(out, buffer);
    }
    free(buffer);
    return sound ? BSONCAT_PRINTED : BSONCAT_BROKEN;
}

int bsoncat_run(FILE* in, FILE* out) {
    for (;;) {
        bsoncat_result result = bsoncat_next(in, out);
        if (result == BSONCAT_END) {
            return 0;
        }
        if (result == BSONCAT_BROKEN) {
            return -1;
        }
    }
}
