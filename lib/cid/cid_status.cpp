#include "cid_status.h"

#include "bson.h"

namespace {

const char* const kKeys[] = {"w",       "dw", "pc", "pcall", "apscall", "papscall",
                             "vokcall", "sg", "sr", "sp",    "counts"};
const char* const kCountKeys[] = {"0", "1", "2", "3", "4", "5", "6", "7"};

// The int32 values of the elements of which `required` has a bit; false at the first one missing
// or of another type.
bool _readInts(const bson_element* elements, int count, uint32_t required, int32_t* values) {
    for (int k = 0; k < count; ++k) {
        if ((required >> k & 1) != 0 && bson_elementInt(&elements[k], &values[k]) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

cid_statusResult cid_readStatus(const uint8_t* document, uint32_t size, uint32_t required,
                                cid_status* status) {
    bson_element top[CID_COUNTS + 1];
    *status = {};
    if (bson_findAll(document, size, kKeys, CID_COUNTS + 1, top) != 0) {
        return CID_STATUS_MALFORMED;
    }
    if (!_readInts(top, CID_COUNTS, required, status->value)) {
        return CID_STATUS_MISSING;
    }
    if ((required >> CID_COUNTS & 1) == 0) {
        return CID_STATUS_READ;
    }
    const uint8_t* counts = nullptr;
    bson_element inner[8];
    if (bson_elementDocument(&top[CID_COUNTS], &counts) != 0) {
        return CID_STATUS_NO_COUNTS;
    }
    // The embedded document was checked whole when the walk handed it out.
    bson_findAll(counts, bson_length(counts), kCountKeys, 8, inner);
    return _readInts(inner, 8, 0xFF, status->counts) ? CID_STATUS_READ : CID_STATUS_MISSING;
}
