// Length-prefixed documents: the frame check that every receiver applies to the bytes it holds,
// and the reader that cuts a stream into documents with it.
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

void bson_frameInit(bson_frameReader* reader, bson_fill fill, void* source, uint8_t* buffer,
                    size_t capacity, uint32_t min, uint32_t max) {
    *reader = {fill, source, buffer, capacity, min, max, 0, 0, 0};
}

bson_frameState bson_frameNext(bson_frameReader* reader, const uint8_t** document) {
    for (;;) {
        const size_t held = reader->end - reader->start;
        const bson_frameState state = bson_frame(reader->buffer + reader->start, held, reader->min,
                                                 reader->max, &reader->length);
        if (state == BSON_FRAME_WHOLE) {
            *document = reader->buffer + reader->start;
            reader->start += reader->length;
            return state;
        }
        if (state == BSON_FRAME_REFUSED) {
            return state;
        }
        // The part of the document already held moves to the front: the room after it holds
        // the rest, since max bytes fit into the buffer.
        memmove(reader->buffer, reader->buffer + reader->start, held);
        reader->start = 0;
        reader->end = held;
        const size_t need = (state == BSON_FRAME_PREFIX ? 4 : reader->length) - held;
        const long got =
            reader->fill(reader->source, reader->buffer + held, need, reader->capacity - held);
        if (got <= 0) {
            return got == 0 && held == 0 ? BSON_FRAME_END : state;
        }
        reader->end += static_cast<size_t>(got);
    }
}
