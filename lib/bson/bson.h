// A small BSON codec: builds one document in a caller buffer and reads received documents in
// place. Five element types, embedded documents nested at most two levels deep. No heap, no
// global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int BSON_VALID = 1;
constexpr int BSON_OVERFLOW = 4;
constexpr int BSON_NESTING = 8;
constexpr uint32_t BSON_MAX_DEPTH = 2;
constexpr uint32_t BSON_NAME_SCAN = 128;
constexpr int BSON_PRINT_MAX_DEPTH = 2;

constexpr uint8_t BSON_DOUBLE = 0x01;
constexpr uint8_t BSON_STRING = 0x02;
constexpr uint8_t BSON_DOCUMENT = 0x03;
constexpr uint8_t BSON_NULL = 0x0A;
constexpr uint8_t BSON_INT32 = 0x10;

// Writes one document into a buffer that the caller owns.
struct bson_builder {
    int flags;                       // BSON_VALID, BSON_OVERFLOW, BSON_NESTING
    uint8_t* cursor;                 // where the next byte goes
    uint32_t capacity;               // size of the buffer
    uint32_t length;                 // bytes written from the buffer start
    uint8_t* document;               // length field of the innermost open document
    uint8_t* saved[BSON_MAX_DEPTH];  // enclosing documents, slot k for embedded level k + 1
    uint32_t depth;                  // embedded documents open, 0 to BSON_MAX_DEPTH
};

// Builder. 0 on success and -1 on failure unless noted.
int bson_init(bson_builder* b, uint8_t* buffer, uint32_t capacity);    // -1, else validity
int bson_reopen(bson_builder* b, uint8_t* buffer, uint32_t capacity);  // -1, else validity
int bson_appendInt(bson_builder* b, const char* name, int32_t value);
int bson_appendDouble(bson_builder* b, const char* name, double value);
int bson_appendString(bson_builder* b, const char* name, const char* text);
int bson_appendNull(bson_builder* b, const char* name);
int bson_beginDocument(bson_builder* b, const char* name);
int bson_endDocument(bson_builder* b);
int bson_finish(bson_builder* b);          // -1 when the terminator does not fit, else validity
int bson_isValid(const bson_builder* b);   // 1 valid, 0 not
int32_t bson_size(const bson_builder* b);  // length stored at the current document

// A read position in a received document: every read is checked against the bytes left first.
struct bson_cursor {
    const uint8_t* at;  // type byte of the next element; null once the bytes proved unsound
    size_t left;        // bytes from `at` up to the document's terminator
};

// One element, measured once: what the walk hands out and the typed reads take.
struct bson_element {
    uint8_t type;          // the type byte
    const char* name;      // the name; its NUL lies inside a document that passed the check
    uint32_t nameLength;   // without the NUL; BSON_NAME_SCAN when none lies within the scan
    const uint8_t* value;  // first value byte; null when the name has no NUL within the scan
    uint32_t size;         // the whole element; 0 for one the walk cannot step over
};

// 0 when `size` bytes hold a document frame (length prefix 5..size, terminator last), else -1.
int bson_cursorInit(bson_cursor* cursor, const uint8_t* document, uint32_t size);
// 1 and the next element; 0 at the end of a sound document; -1 (from then on) when the bytes are
// not one, and the elements handed out so far are to be discarded. An element that cannot be
// stepped over (unsupported type, name of 128 bytes or more) is handed out last with size 0.
// Each embedded document is checked whole before its element is handed out.
int bson_cursorNext(bson_cursor* cursor, bson_element* element);
// bson_check, finding in the same walk the first element of each of the `count` names into
// found[k] (type 0 for a name not there).
int bson_findAll(const uint8_t* document, uint32_t size, const char* const* names, int count,
                 bson_element* found);
// Typed reads of an element: 0 and the value, or -1 for another type or a name of 127 bytes or
// more. Strings and embedded documents are pointed at inside the document.
int bson_elementInt(const bson_element* element, int32_t* out);
int bson_elementDouble(const bson_element* element, double* out);
int bson_elementString(const bson_element* element, const char** out);
int bson_elementDocument(const bson_element* element, const uint8_t** out);

// Readers of element pointers. They walk by the sizes the bytes claim; check received bytes
// with bson_check first.
uint32_t bson_length(const uint8_t* document);      // length prefix, 0 for null
uint32_t bson_elementSize(const uint8_t* element);  // 0 for null, unsupported or unterminated
const uint8_t* bson_firstElement(const uint8_t* document);
const uint8_t* bson_nextElement(const uint8_t* element);
const uint8_t* bson_find(const uint8_t* document, const char* name);
int bson_getInt(const uint8_t* element, int32_t* out);
int bson_getDouble(const uint8_t* element, double* out);
int bson_getString(const uint8_t* element, const char** out);
int bson_getDocument(const uint8_t* element, const uint8_t** out);

// Checks that the first `size` received bytes hold a document that the readers and the printer
// can walk without leaving it (bson_cursorNext to the end): 0 when sound, else -1. Call it before
// any other reader on bytes from outside.
int bson_check(const uint8_t* document, uint32_t size);

// Length-prefixed documents, back to back in a stream or one to a datagram, each with a length
// prefix accepted in min..max.
enum bson_frameState {
    BSON_FRAME_WHOLE,    // a document of accepted length, all of it held
    BSON_FRAME_PREFIX,   // fewer than the four bytes of the length prefix
    BSON_FRAME_BODY,     // an accepted length prefix, fewer bytes than it says
    BSON_FRAME_REFUSED,  // a length prefix outside min..max
    BSON_FRAME_END,      // from a reader: the stream ended right after a document
};
// The frame that starts the `held` bytes at `bytes`, its length in *length once the prefix is in.
bson_frameState bson_frame(const uint8_t* bytes, size_t held, uint32_t min, uint32_t max,
                           uint32_t* length);
// Takes bytes of a stream into `into`, at most `room`: the count, 0 at the end, negative on an
// error. `need` is what the current document still lacks; a fill may take fewer (it is called
// again) or more (kept for the next documents).
using bson_fill = long (*)(void* source, uint8_t* into, size_t need, size_t room);
// A stream read into a caller's buffer of at least max bytes: it asks for exactly the bytes that
// the current document lacks and keeps what more the stream gives for the next documents.
struct bson_frameReader {
    bson_fill fill;
    void* source;
    uint8_t* buffer;
    size_t capacity;
    uint32_t min, max;
    size_t start, end;  // the bytes taken from the stream and not handed out yet
    uint32_t length;    // of the document handed out or cut short, once its prefix is in
};
// WHOLE and the next document at *document (reader->length bytes, kept until the next call);
// END; PREFIX or BODY when the stream ended or failed inside one (end - start bytes of it held);
// REFUSED. No document follows anything but WHOLE.
bson_frameState bson_frameNext(bson_frameReader* reader, const uint8_t** document);

// Printer: indented, JSON-like text for people. -1 when the depth is above 2 or a write of the
// opening line, a separator or the closing line failed; else 0.
int bson_print(FILE* stream, const uint8_t* document);
int bson_printDepth(FILE* stream, const uint8_t* document, int depth);
