// Indented, JSON-like text of a document for people reading it: names quoted, string values as
// they are, one blank of indentation per level. It walks as the readers of element pointers do,
// trusting the sizes, so a document read from outside must have passed bson_check first.
#include <cstdio>

#include "walk.h"

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
bool _printElement(FILE* stream, const bson_element* element, int depth) {
    if (_indent(stream, depth + 1) < 0 || std::fprintf(stream, "\"%s\": ", element->name) < 0) {
        return false;
    }
    switch (element->type) {
        case BSON_DOUBLE: {
            double value;
            return bson_elementDouble(element, &value) == 0 &&
                   std::fprintf(stream, "%f", value) >= 0;
        }
        case BSON_STRING: {
            const char* text;
            return bson_elementString(element, &text) == 0 && std::fputs(text, stream) != EOF;
        }
        case BSON_DOCUMENT: {
            const uint8_t* embedded;
            return bson_elementDocument(element, &embedded) == 0 &&
                   std::fputc('\n', stream) != EOF &&
                   bson_printDepth(stream, embedded, depth + 1) == 0;
        }
        case BSON_NULL:
            return std::fputs("NULL", stream) != EOF;
        case BSON_INT32: {
            int32_t value;
            return bson_elementInt(element, &value) == 0 && std::fprintf(stream, "%d", value) >= 0;
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
    bson_cursor cursor = _bson_trustingCursor(document);
    bson_element element;
    bool more = _bson_trustedNext(&cursor, &element) != nullptr;
    while (more) {
        if (!_printElement(stream, &element, depth)) {
            return 0;
        }
        more = _bson_trustedNext(&cursor, &element) != nullptr;
        if (std::fputs(more ? ",\n" : "\n", stream) == EOF) {
            return -1;
        }
    }
    if (_indent(stream, depth) < 0 || std::fputs("}\n", stream) == EOF) {
        return -1;
    }
    return 0;
}
