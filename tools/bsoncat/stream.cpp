#include "stream.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "bson.h"

// The reason of a short read of `got` out of `wanted` bytes: the input's end, or the read error
// `error` (errno as the read left it).
static bsoncat_result _short(bsoncat_position* at, FILE* in, int error, const char* part,
                             size_t got, size_t wanted) {
    if (ferror(in)) {
        snprintf(at->why, sizeof at->why, "cannot read the input: %s", strerror(error));
        return BSONCAT_BROKEN;
    }
    snprintf(at->why, sizeof at->why, "the input ends inside the %s (%zu of %zu bytes)", part, got,
             wanted);
    return BSONCAT_BROKEN;
}

bsoncat_result bsoncat_next(FILE* in, FILE* out, bsoncat_position* at) {
    at->why[0] = '\0';
    uint8_t* buffer = static_cast<uint8_t*>(malloc(4));
    if (buffer == nullptr) {
        snprintf(at->why, sizeof at->why, "out of memory");
        return BSONCAT_BROKEN;
    }
    size_t got = fread(buffer, 1, 4, in);
    int error = errno;
    if (got < 4) {
        free(buffer);
        // Only the end of the input is a clean end; a failed read is not.
        return got == 0 && !ferror(in) ? BSONCAT_END
                                       : _short(at, in, error, "length prefix", got, 4);
    }
    uint32_t length = bson_length(buffer);
    if (length > BSONCAT_MAX_LENGTH || length < BSONCAT_MIN_LENGTH) {
        free(buffer);
        snprintf(at->why, sizeof at->why, "length %" PRIu32 " is outside %" PRIu32 "..%" PRIu32,
                 length, BSONCAT_MIN_LENGTH, BSONCAT_MAX_LENGTH);
        return BSONCAT_BROKEN;
    }
    uint8_t* grown = static_cast<uint8_t*>(realloc(buffer, length));
    if (grown == nullptr) {
        free(buffer);
        snprintf(at->why, sizeof at->why, "out of memory");
        return BSONCAT_BROKEN;
    }
    buffer = grown;
    size_t body = fread(buffer + 4, 1, length - 4, in);
    error = errno;
    if (body != length - 4) {
        free(buffer);
        return _short(at, in, error, "document", body + 4, length);
    }
    // The printer walks by the sizes inside the document; a document that lies about them is
    // refused whole rather than printed past its end.
    if (bson_check(buffer, length) != 0) {
        free(buffer);
        snprintf(at->why, sizeof at->why,
                 "malformed document: an element runs past its end, "
                 "or no closing zero");
        return BSONCAT_BROKEN;
    }
    bson_print(out, buffer);
    free(buffer);
    at->document++;
    at->offset += length;
    return BSONCAT_PRINTED;
}

int bsoncat_run(FILE* in, FILE* out, FILE* err) {
    bsoncat_position at = {1, 0, ""};
    for (;;) {
        bsoncat_result result = bsoncat_next(in, out, &at);
        if (result == BSONCAT_END) {
            return 0;
        }
        if (result == BSONCAT_BROKEN) {
            if (err != nullptr) {
                fprintf(err, "bsoncat: document %" PRIu32 " at byte %" PRIu64 ": %s\n", at.document,
                        at.offset, at.why);
            }
            return -1;
        }
    }
}
