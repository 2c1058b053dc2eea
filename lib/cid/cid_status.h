// The intersection status document, the CID's answer to the status query: int32 masks by key and
// the embedded document "counts" of eight int32 values under the keys "0" to "7".
#pragma once

#include <cstdint>

// The keys in the order of cid_status::value, then "counts".
enum cid_statusKey {
    CID_W,         // "w", phases showing walk
    CID_DW,        // "dw", phases showing don't walk
    CID_PC,        // "pc", phases in pedestrian clearance
    CID_PCALL,     // "pcall", phases with a pedestrian call
    CID_APSCALL,   // "apscall", phases with an APS call
    CID_PAPSCALL,  // "papscall", a second APS call mask
    CID_VOKCALL,   // "vokcall", phases with a vok call
    CID_SG,        // "sg", stations in the good state
    CID_SR,        // "sr", stations in the bad state
    CID_SP,        // "sp", a third station mask
    CID_COUNTS,    // "counts"
};

struct cid_status {
    int32_t value[CID_COUNTS];
    int32_t counts[8];
};

enum cid_statusResult {
    CID_STATUS_READ,       // every required key read
    CID_STATUS_MALFORMED,  // the bytes are not a sound document
    CID_STATUS_MISSING,    // a required int32 key, or a key of "counts", absent or of another type
    CID_STATUS_NO_COUNTS,  // "counts" required, and absent or no document
};

// Reads the status document in the `size` bytes at `document` into *status. `required` is the
// reader's acceptance rule: bit k for each key k it must find, bit CID_COUNTS for "counts" with
// all eight keys, which is looked at after the others. The first element of a name counts.
cid_statusResult cid_readStatus(const uint8_t* document, uint32_t size, uint32_t required,
                                cid_status* status);
