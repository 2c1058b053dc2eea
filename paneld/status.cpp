#include "status.h"

#include <stdexcept>
#include <string>

#include "bson.h"
#include "cid.h"
#include "cid_socket.h"

namespace {

constexpr const char* MISSING_KEY = "The BSON docuemnt was missing an expected object.";

int32_t requiredInt(const uint8_t* document, const char* name) {
    int32_t value = 0;
    if (bson_getInt(bson_find(document, name), &value) != 0) {
        throw std::runtime_error(MISSING_KEY);
    }
    return value;
}

void checkPhase(unsigned phase) {
    if (phase < 1 || phase > 8) {
        throw std::logic_error("Invalid phase number requested.");
    }
}

bool bit(unsigned mask, unsigned number) {
    return (mask >> (number - 1)) & 1u;
}

}  // namespace

IntersectionStatus::IntersectionStatus(const uint8_t* document, uint32_t size) {
    // The length prefix and every size inside are checked against the bytes received before
    // any reader walks them.
    if (size < 4) {
        throw std::runtime_error("The Intersection Status BSON document was too short: " +
                                 std::to_string(size));
    }
    uint32_t declared = bson_length(document);
    if (declared > size) {
        throw std::runtime_error(
            "The Intersection Status BSON document thought it was too large: " +
            std::to_string(declared) + " " + std::to_string(size));
    }
    if (bson_check(document, size) != 0) {
        throw std::runtime_error("The Intersection Status BSON document is malformed.");
    }
    w = static_cast<uint8_t>(requiredInt(document, "w"));
    pc = static_cast<uint8_t>(requiredInt(document, "pc"));
    dw = static_cast<uint8_t>(requiredInt(document, "dw"));
    pcall = static_cast<uint8_t>(requiredInt(document, "pcall"));
    apscall = static_cast<uint8_t>(requiredInt(document, "apscall"));
    papscall = static_cast<uint8_t>(requiredInt(document, "papscall"));
    vokcall = static_cast<uint8_t>(requiredInt(document, "vokcall"));
    sg = static_cast<uint16_t>(requiredInt(document, "sg"));
    sr = static_cast<uint16_t>(requiredInt(document, "sr"));
    sp = static_cast<uint16_t>(requiredInt(document, "sp"));
    const uint8_t* countsDocument = nullptr;
    if (bson_getDocument(bson_find(document, "counts"), &countsDocument) != 0) {
        throw std::runtime_error("The IIS BSON document doesn't contain count information.");
    }
    for (int i = 0; i < 8; ++i) {
        counts[i] = requiredInt(countsDocument, std::to_string(i).c_str());
    }
}

char IntersectionStatus::signalChar(unsigned phase) const {
    checkPhase(phase);
    static constexpr char table[8] = {GLYPH_NONE, 'F', 'D', '?', 'W', '?', 'C', '?'};
    return table[bit(w, phase) << 2 | bit(dw, phase) << 1 | bit(pc, phase)];
}

char IntersectionStatus::callChar(unsigned phase) const {
    checkPhase(phase);
    if (bit(vokcall, phase)) {
        return 'A';
    }
    return bit(pcall, phase) ? 'P' : GLYPH_NONE;
}

char IntersectionStatus::stationChar(unsigned station) const {
    if (station < 1 || station > 16) {
        throw std::logic_error("Invalid station ID number requested.");
    }
    static constexpr char table[4] = {GLYPH_NONE, GLYPH_BAD, GLYPH_GOOD, '?'};
    return table[bit(sg, station) << 1 | bit(sr, station)];
}

IntersectionStatus fetchIntersectionStatus(CIDSocket& socket) {
    uint8_t buffer[CID_BUFFER_SIZE];
    unsigned received = socket.query(buffer, sizeof buffer);
    return IntersectionStatus(buffer, received);
}
