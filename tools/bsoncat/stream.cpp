#include "stream.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "bson.h"

constexpr size_t BSONCAT_WHY = 80;

// Reads exactly the bytes a document still lacks, as two reads per document (prefix, then the
// rest), so that each document is printed as soon as it has arrived.
static long _read(void* in, uint8_t* into, size_t need, size_t) {
    size_t got = fread(into, 1, need, static_cast<FILE*>(in));
    return got > 0 || !ferror(static_cast<FILE*>(in)) ? static_cast<long>(got) : -1;
}

// Why the document at which the reader stopped in `state` is refused (errno as the failed read
// left it), into why[BSONCAT_WHY].
static void _refusal(const bson_frameReader* r, bson_frameState state, FILE* in, char* why) {
    int error = errno;
    size_t got = r->end - r->start;
    if (state == BSON_FRAME_REFUSED) {
        snprintf(why, BSONCAT_WHY, "length %" PRIu32 " is outside %" PRIu32 "..%" PRIu32, r->length,
                 BSONCAT_MIN_LENGTH, BSONCAT_MAX_LENGTH);
    } else if (ferror(in)) {
        snprintf(why, BSONCAT_WHY, "cannot read the input: %s", strerror(error));
    } else if (state == BSON_FRAME_PREFIX) {
        snprintf(why, BSONCAT_WHY, "the input ends inside the length prefix (%zu of 4 bytes)", got);
    } else if (state == BSON_FRAME_BODY) {
        snprintf(why, BSONCAT_WHY, "the input ends inside the document (%zu of %" PRIu32 " bytes)",
                 got, r->length);
    } else {
        snprintf(why, BSONCAT_WHY, "malformed document: %s",
                 "an element runs past its end, or no closing zero");
    }
}

int bsoncat_run(FILE* in, FILE* out, FILE* err) {
    uint8_t buffer[BSONCAT_MAX_LENGTH];
    bson_frameReader reader{
        _read, in, buffer, sizeof buffer, BSONCAT_MIN_LENGTH, BSONCAT_MAX_LENGTH, 0, 0, 0};
    uint32_t number = 1;
    uint64_t offset = 0;
    const uint8_t* document = nullptr;
    bson_frameState state;
    // The printer walks by the sizes inside the document; a document that lies about them is
    // refused whole rather than printed past its end.
    while ((state = bson_frameNext(&reader, &document)) == BSON_FRAME_WHOLE &&
           bson_check(document, reader.length) == 0) {
        bson_print(out, document);
        ++number;
        offset += reader.length;
    }
    if (state == BSON_FRAME_END) {
        return 0;
    }
    if (err != nullptr) {
        char why[BSONCAT_WHY];
        _refusal(&reader, state, in, why);
        fprintf(err, "bsoncat: document %" PRIu32 " at byte %" PRIu64 ": %s\n", number, offset,
                why);
    }
    return -1;
}
