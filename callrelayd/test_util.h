// Helpers shared by the unit tests of callrelayd.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<uint8_t>;

// BSON written out by hand, so that the tests do not check the library against itself.
inline void appendInt(Bytes& doc, const std::string& name, int32_t value) {
    doc.push_back(0x10);
    doc.insert(doc.end(), name.begin(), name.end());
    doc.push_back(0);
    for (int shift = 0; shift < 32; shift += 8) {
        doc.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> shift));
    }
}

inline void appendString(Bytes& doc, const std::string& name, const std::string& text) {
    doc.push_back(0x02);
    doc.insert(doc.end(), name.begin(), name.end());
    doc.push_back(0);
    uint32_t length = static_cast<uint32_t>(text.size() + 1);
    for (int shift = 0; shift < 32; shift += 8) {
        doc.push_back(static_cast<uint8_t>(length >> shift));
    }
    doc.insert(doc.end(), text.begin(), text.end());
    doc.push_back(0);
}

// Sets the length prefix of a document whose elements and terminator are in place.
inline Bytes finished(Bytes doc) {
    uint32_t length = static_cast<uint32_t>(doc.size());
    memcpy(doc.data(), &length, 4);
    return doc;
}

// {name: value, ...} of int32 elements.
inline Bytes ints(const std::vector<std::pair<std::string, int32_t>>& elements) {
    Bytes doc(4, 0);
    for (const auto& [name, value] : elements) {
        appendInt(doc, name, value);
    }
    doc.push_back(0);
    return finished(doc);
}

}  // namespace testutil
