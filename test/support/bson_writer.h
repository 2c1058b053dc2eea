// Test support: BSON written byte by byte, independent of the library under test, so that the
// tests can also write what the library's builder refuses (lying lengths, missing terminators).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testbson {

using Bytes = std::vector<uint8_t>;

// Appends a little-endian int32.
inline void putInt32(Bytes& bytes, int32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> shift));
    }
}

// Appends an element's type and name; its value follows.
inline void appendName(Bytes& doc, uint8_t type, const std::string& name) {
    doc.push_back(type);
    doc.insert(doc.end(), name.begin(), name.end());
    doc.push_back(0);
}

inline void appendInt(Bytes& doc, const std::string& name, int32_t value) {
    appendName(doc, 0x10, name);
    putInt32(doc, value);
}

inline void appendDouble(Bytes& doc, const std::string& name, double value) {
    appendName(doc, 0x01, name);
    const auto* raw = reinterpret_cast<const uint8_t*>(&value);
    doc.insert(doc.end(), raw, raw + 8);
}

inline void appendString(Bytes& doc, const std::string& name, const std::string& text) {
    appendName(doc, 0x02, name);
    putInt32(doc, static_cast<int32_t>(text.size() + 1));
    doc.insert(doc.end(), text.begin(), text.end());
    doc.push_back(0);
}

// The little-endian length prefix at `at`, from as many of its four bytes as exist.
inline uint32_t lengthPrefix(const Bytes& bytes, size_t at = 0) {
    uint32_t length = 0;
    for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i) {
        length |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    }
    return length;
}

// Writes `length` over the four bytes at `at`.
inline void setLengthPrefix(Bytes& bytes, uint32_t length, size_t at = 0) {
    for (size_t i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(length >> (8 * i));
    }
}

// Ends the document begun with four placeholder bytes at `start`: terminator and length prefix.
inline void closeDocument(Bytes& bytes, size_t start = 0) {
    bytes.push_back(0);
    setLengthPrefix(bytes, static_cast<uint32_t>(bytes.size() - start), start);
}

inline Bytes finishDocument(Bytes doc) {
    closeDocument(doc);
    return doc;
}

// A document of int32 elements in the order given.
inline Bytes intDocument(const std::vector<std::pair<std::string, int32_t>>& elements) {
    Bytes doc(4, 0);
    for (const auto& [name, value] : elements) {
        appendInt(doc, name, value);
    }
    return finishDocument(doc);
}

// The whole document `doc` grown to exactly `size` bytes by one more element: a string "p" of
// 'a's when eight or more bytes are wanted, else a null named by 'x's; nullopt when no element
// is that small (one byte) or `size` is below the document's own.
inline std::optional<Bytes> grownDocument(Bytes doc, size_t size) {
    doc.pop_back();  // reopened for one more element
    if (size < doc.size() + 1 || size == doc.size() + 2) {
        return std::nullopt;
    }
    size_t extra = size - (doc.size() + 1);
    if (extra >= 8) {
        appendString(doc, "p", std::string(extra - 8, 'a'));
    } else if (extra >= 2) {
        appendName(doc, 0x0A, std::string(extra - 2, 'x'));
    }
    return finishDocument(doc);
}

}  // namespace testbson
