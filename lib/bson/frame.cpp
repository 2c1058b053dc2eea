// Length-prefixed documents: the frame check of the bytes a receiver holds, and the reader that
// cuts a stream into documents with it.
#include <cstring>

#include "bson.h"

bson_frameState bson_frame(const uint8_t* bytes, size_t held, uint32_t min, uint32_t max,
                           uint32_t* length) {
    if (held < 4) {
        return BSON_FRAME_PREFIX;
    }
    *length = bson_length(bytes);
    if (*length < min || *length > max) {
        return BSON_FRAME_REFUSED;
    }
    return held < *length ? BSON_FRAME_BODY : BSON_FRAME_WHOLE;
}

bson_frameState bson_frameNext(bson_frameReader* r, const uint8_t** document) {
    for (;;) {
        const size_t held = r->end - r->start;
        const bson_frameState state =
            bson_frame(r->buffer + r->start, held, r->min, r->max, &r->length);
        if (state == BSON_FRAME_WHOLE) {
            *document = r->buffer + r->start;
            r->start += r->length;
            return state;
        }
        if (state == BSON_FRAME_REFUSED) {
            return state;
        }
        // What is held of the document moves to the front; the rest fits behind it.
        memmove(r->buffer, r->buffer + r->start, held);
        r->start = 0;
        r->end = held;
        const size_t need = (state == BSON_FRAME_PREFIX ? 4 : r->length) - held;
        const long got = r->fill(r->source, r->buffer + held, need, r->capacity - held);
        if (got <= 0) {
            return got == 0 && held == 0 ? BSON_FRAME_END : state;
        }
        r->end += static_cast<size_t>(got);
    }
}
