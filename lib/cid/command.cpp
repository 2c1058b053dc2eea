#include "command.h"

#include <initializer_list>

#include "bson.h"

namespace {

struct Key {
    const char* name;
    int32_t value;
};

// Writes {"t": type, keys...}; the stored length, or -1 when the document is incomplete.
int serializeKeys(uint8_t* buffer, uint32_t capacity, int32_t type,
                  std::initializer_list<Key> keys) {
    bson_builder builder;
    if (bson_init(&builder, buffer, capacity) < 0) {
        return -1;
    }
    bson_appendInt(&builder, "t", type);
    for (const Key& key : keys) {
        bson_appendInt(&builder, key.name, key.value);
    }
    if (bson_finish(&builder) != 1) {
        return -1;
    }
    return bson_size(&builder);
}

}  // namespace

int CIDINTERSECTIONSTATUSCOMMAND::serialize(uint8_t* buffer, uint32_t capacity) const {
    return serializeKeys(buffer, capacity, type, {});
}

template <CidCommandType Type>
int CIDStationCommand<Type>::serialize(uint8_t* buffer, uint32_t capacity) const {
    return serializeKeys(buffer, capacity, type, {{"sid", sid}});
}
template class CIDStationCommand<CID_PED_CALL>;
template class CIDStationCommand<CID_APS_CALL>;
template class CIDStationCommand<CID_BUTTON_DOWN>;
template class CIDStationCommand<CID_BUTTON_UP>;

int CIDAPBSTATUSREPORT::serialize(uint8_t* buffer, uint32_t capacity) const {
    return serializeKeys(buffer, capacity, type,
                         {{"r", static_cast<int32_t>(reds)}, {"g", static_cast<int32_t>(greens)}});
}
