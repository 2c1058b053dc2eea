// Indented, JSON-like text of a document for people reading it: names quoted, string values as
// they are, one blank of indentation per level. The readers do the walking, so a document read
// from outside must have passed bson_check first.
#include <cstdio>

#include "bson.h"

namespace {

int _indent(FILE* stream, int count) {
    for (int i = 0; i < count; ++i) {
        if (std::fputc(' ', stream) == EOF) {
            return -1;
        }
    }
    return 0;
}

// Writes the name line and the value of one element; false when printing of the document stops
// at this element.
bool _printElement(FILE* stream, const uint8_t* element, int depth) {
    const char* name = reinterpret_cast<const char*>(element + 1);
    if (_indent(stream, depth + 1) < 0 || std::fprintf(stream, "\"%s\": ", name) < 0) {
        return false;
    }
    switch (element[0]) {
        case BSON_DOUBLE: {
            double value;
            return bson_getDouble(element, &value) == 0 && std::fprintf(stream, "%f", value) >= 0;
        }
        case BSON_STRING: {
            const char* text;
            return bson_getString(element, &text) == 0 && std::fputs(text, stream) != EOF;
        }
        case BSON_DOCUMENT: {
            const uint8_t* embedded;
            return bson_getDocument(element, &embedded) == 0 && std::fputc('\n', stream) != EOF &&
                   bson_printDepth(stream, embedded, depth + 1) == 0;
        }
        case BSON_NULL:
            return std::fputs("NULL", stream) != EOF;
        case BSON_INT32: {
            int32_t value;
            return bson_getInt(element, &value) == 0 && std::fprintf(stream, "%d", value) >= 0;
        }
        default:
            return false;
    }
}

}  // namespace

int bson_print(FILE* stream, const uint8_t* document) {
    return bson_printDepth(stream, document, 0);
}

int bson_printDepth(FILE* stream, const uint8_t* document, int depth) {
    // A negative depth is refused as well: it would let nesting go unbounded.
    if (stream == nullptr || depth > BSON_PRINT_MAX_DEPTH || depth < 0) {
        return -1;
    }
    if (_indent(stream, depth) < 0 || std::fputs("{\n", stream) == EOF) {
        return -1;
    }
    for (const uint8_t* e = bson_firstElement(document); e != nullptr;) {
        if (!_printElement(stream, e, depth)) {
            return 0;
        }
        e = bson_nextElement(e);
        if (std::fputs(e != nullptr ? ",\n" : "\n", stream) == EOF) {
            return -1;
        }
    }
    if (_indent(stream, depth) < 0 || std::fputs("}\n", stream) == EOF) {
        return -1;
    }
    return 0;
}
