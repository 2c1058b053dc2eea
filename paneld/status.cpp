#include "status.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "bson.h"
#include "cid.h"
#include "cid_socket.h"
#include "cid_status.h"

namespace {

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
    // The declared length may be anything up to the bytes received.
    uint32_t declared = 0;
    bson_frameState frame = bson_frame(document, size, 0, size, &declared);
    if (frame == BSON_FRAME_PREFIX) {
        throw std::runtime_error("The Intersection Status BSON document was too short: " +
                                 std::to_string(size));
    }
    if (frame != BSON_FRAME_WHOLE) {
        throw std::runtime_error(
            "The Intersection Status BSON document thought it was too large: " +
            std::to_string(declared) + " " + std::to_string(size));
    }
    cid_status status;  // every key required, and "counts" with its eight
    switch (cid_readStatus(document, size, ~0u, &status)) {
        case CID_STATUS_MALFORMED:
            throw std::runtime_error("The Intersection Status BSON document is malformed.");
        case CID_STATUS_MISSING:
            throw std::runtime_error("The BSON docuemnt was missing an expected object.");
        case CID_STATUS_NO_COUNTS:
            throw std::runtime_error("The IIS BSON document doesn't contain count information.");
        case CID_STATUS_READ:
            break;
    }
    w = static_cast<uint8_t>(status.value[CID_W]);
    dw = static_cast<uint8_t>(status.value[CID_DW]);
    pc = static_cast<uint8_t>(status.value[CID_PC]);
    pcall = static_cast<uint8_t>(status.value[CID_PCALL]);
    apscall = static_cast<uint8_t>(status.value[CID_APSCALL]);
    papscall = static_cast<uint8_t>(status.value[CID_PAPSCALL]);
    vokcall = static_cast<uint8_t>(status.value[CID_VOKCALL]);
    sg = static_cast<uint16_t>(status.value[CID_SG]);
    sr = static_cast<uint16_t>(status.value[CID_SR]);
    sp = static_cast<uint16_t>(status.value[CID_SP]);
    std::copy(status.counts, status.counts + 8, counts);
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
