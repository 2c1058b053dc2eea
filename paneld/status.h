// The intersection status as paneld reads it from the CID's answer, and the one exchange that
// fetches it.
#pragma once

#include <cstdint>

class CIDSocket;

// One status document, each mask cut to its width. Built per render, copied by value.
struct IntersectionStatus {
    uint8_t w = 0;         // phases showing walk, phase n = bit n - 1
    uint8_t dw = 0;        // phases showing don't walk
    uint8_t pc = 0;        // phases in pedestrian clearance
    uint8_t pcall = 0;     // phases with a pedestrian call
    uint8_t apscall = 0;   // phases with an APS call (kept, not shown)
    uint8_t papscall = 0;  // second APS call mask (kept, not shown)
    uint8_t vokcall = 0;   // phases with a vok call
    uint16_t sg = 0;       // stations in the good state, station n = bit n - 1
    uint16_t sr = 0;       // stations in the bad state
    uint16_t sp = 0;       // third station mask (kept, not shown)
    int32_t counts[8] = {};

    IntersectionStatus() = default;
    // Parses the `size` bytes received at `document`, never reading past them. Throws
    // std::runtime_error when the document is larger than the bytes, malformed, or lacks a
    // required int32 key or the "counts" document.
    IntersectionStatus(const uint8_t* document, uint32_t size);

    // Sig page character of `phase` (1 to 8) from w, dw and pc; std::logic_error otherwise.
    char signalChar(unsigned phase) const;
    // Calls page character of `phase` (1 to 8): 'A' for a vok call, else 'P' for a
    // pedestrian call, else 0xCD; std::logic_error otherwise.
    char callChar(unsigned phase) const;
    // Station page character of `station` (1 to 16) from sg and sr; std::logic_error otherwise.
    char stationChar(unsigned station) const;
};

// Display glyphs above ASCII.
constexpr char GLYPH_NONE = static_cast<char>(0xCD);
constexpr char GLYPH_GOOD = static_cast<char>(0xC5);
constexpr char GLYPH_BAD = static_cast<char>(0xC6);

// Asks the CID over `socket` for the status and parses the answer; throws on any failure.
IntersectionStatus fetchIntersectionStatus(CIDSocket& socket);
