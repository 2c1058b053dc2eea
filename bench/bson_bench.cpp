// The documents of the system, built and read with lib/bson and with libbson. Each side does
// what the program that handles the document does: the readers of received bytes check them
// (bson_check before looking up keys, or a checking cursor for a walk in order; libbson's
// iterator checks bounds as it walks).
#include <bson/bson.h>

#include <cstring>
#include <memory>

#include "bson.h"
#include "command.h"
#include "micro.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t BUFFER_SIZE = 1024;  // as every program of the system builds and receives
constexpr int32_t STATION = 3;
constexpr int32_t PED_CALL_EVENT = 4;

// Station event message: {"sid": 3, "e": 4}.

struct Event {
    int32_t sid;
    int32_t e;
    bool operator==(const Event&) const = default;
};

uint32_t buildEventOurs(uint8_t* buffer) {
    bson_builder b;
    bson_init(&b, buffer, BUFFER_SIZE);
    bson_appendInt(&b, "sid", STATION);
    bson_appendInt(&b, "e", PED_CALL_EVENT);
    bson_finish(&b);
    return static_cast<uint32_t>(bson_size(&b));
}

void buildEventLibbson(bson_t* b) {
    bson_init(b);
    BSON_APPEND_INT32(b, "sid", STATION);
    BSON_APPEND_INT32(b, "e", PED_CALL_EVENT);
}

int32_t intOurs(const uint8_t* document, const char* name) {
    int32_t value = -1;
    return bson_getInt(bson_find(document, name), &value) == 0 ? value : -1;
}

int32_t intLibbson(const bson_t* document, const char* name) {
    bson_iter_t iter;
    if (bson_iter_init_find(&iter, document, name) && BSON_ITER_HOLDS_INT32(&iter)) {
        return bson_iter_int32(&iter);
    }
    return -1;
}

Event readEventOurs(const uint8_t* document, uint32_t size) {
    if (bson_check(document, size) != 0) {
        return {-1, -1};
    }
    return {intOurs(document, "sid"), intOurs(document, "e")};
}

Event readEventLibbson(const uint8_t* document, uint32_t size) {
    bson_t b;
    if (!bson_init_static(&b, document, size)) {
        return {-1, -1};
    }
    return {intLibbson(&b, "sid"), intLibbson(&b, "e")};
}

// CID command: the button down of station 3, {"t": 8, "sid": 3}, as callrelayd writes it with
// its command class.

struct Command {
    int32_t t;
    int32_t sid;
    bool operator==(const Command&) const = default;
};

uint32_t buildCommandOurs(uint8_t* buffer) {
    return static_cast<uint32_t>(CIDButtonDownCommand(STATION).serialize(buffer, BUFFER_SIZE));
}

void buildCommandLibbson(bson_t* b) {
    bson_init(b);
    BSON_APPEND_INT32(b, "t", CID_BUTTON_DOWN);
    BSON_APPEND_INT32(b, "sid", STATION);
}

Command readCommandOurs(const uint8_t* document, uint32_t size) {
    if (bson_check(document, size) != 0) {
        return {-1, -1};
    }
    return {intOurs(document, "t"), intOurs(document, "sid")};
}

Command readCommandLibbson(const uint8_t* document, uint32_t size) {
    bson_t b;
    if (!bson_init_static(&b, document, size)) {
        return {-1, -1};
    }
    return {intLibbson(&b, "t"), intLibbson(&b, "sid")};
}

// The CID's answer to the status query: ten int32 masks and "counts", a document of eight.

constexpr const char* STATUS_KEYS[] = {"w",        "dw",      "pc", "pcall", "apscall",
                                       "papscall", "vokcall", "sr", "sg",    "sp"};
constexpr int32_t STATUS_VALUES[] = {0x11, 0xEE, 0x00, 0x05, 0x00, 0x04, 0x00, 0x20, 0xDF, 0x08};
constexpr int STATUS_KEY_COUNT = 10;
constexpr const char* COUNT_KEYS[] = {"0", "1", "2", "3", "4", "5", "6", "7"};
constexpr int32_t COUNT_VALUES[] = {12, 0, 7, 1, 30, 0, 2, 9};

struct Status {
    int32_t masks[STATUS_KEY_COUNT];
    int32_t counts[8];
    bool operator==(const Status&) const = default;
};

uint32_t buildStatusOurs(uint8_t* buffer) {
    bson_builder b;
    bson_init(&b, buffer, BUFFER_SIZE);
    for (int i = 0; i < STATUS_KEY_COUNT; ++i) {
        bson_appendInt(&b, STATUS_KEYS[i], STATUS_VALUES[i]);
    }
    bson_beginDocument(&b, "counts");
    for (int i = 0; i < 8; ++i) {
        bson_appendInt(&b, COUNT_KEYS[i], COUNT_VALUES[i]);
    }
    bson_endDocument(&b);
    bson_finish(&b);
    return static_cast<uint32_t>(bson_size(&b));
}

void buildStatusLibbson(bson_t* b) {
    bson_init(b);
    for (int i = 0; i < STATUS_KEY_COUNT; ++i) {
        BSON_APPEND_INT32(b, STATUS_KEYS[i], STATUS_VALUES[i]);
    }
    bson_t counts;
    BSON_APPEND_DOCUMENT_BEGIN(b, "counts", &counts);
    for (int i = 0; i < 8; ++i) {
        BSON_APPEND_INT32(&counts, COUNT_KEYS[i], COUNT_VALUES[i]);
    }
    bson_append_document_end(b, &counts);
}

Status readStatusOurs(const uint8_t* document, uint32_t size) {
    Status status{};
    if (bson_length(document) > size || bson_check(document, size) != 0) {
        return status;
    }
    for (int i = 0; i < STATUS_KEY_COUNT; ++i) {
        status.masks[i] = intOurs(document, STATUS_KEYS[i]);
    }
    const uint8_t* counts = nullptr;
    if (bson_getDocument(bson_find(document, "counts"), &counts) == 0) {
        for (int i = 0; i < 8; ++i) {
            status.counts[i] = intOurs(counts, COUNT_KEYS[i]);
        }
    }
    return status;
}

Status readStatusLibbson(const uint8_t* document, uint32_t size) {
    Status status{};
    bson_t b;
    if (!bson_init_static(&b, document, size)) {
        return status;
    }
    for (int i = 0; i < STATUS_KEY_COUNT; ++i) {
        status.masks[i] = intLibbson(&b, STATUS_KEYS[i]);
    }
    bson_iter_t iter;
    if (bson_iter_init_find(&iter, &b, "counts") && BSON_ITER_HOLDS_DOCUMENT(&iter)) {
        uint32_t length = 0;
        const uint8_t* data = nullptr;
        bson_iter_document(&iter, &length, &data);
        bson_t counts;
        if (bson_init_static(&counts, data, length)) {
            for (int i = 0; i < 8; ++i) {
                status.counts[i] = intLibbson(&counts, COUNT_KEYS[i]);
            }
        }
    }
    return status;
}

// Configuration push: "t": 1, then every column of a station's row of v_sendtostation.

constexpr const char* SETTING_NAMES[] = {
    "id",           "vol_min",     "vol_max",           "ambient_track",
    "locator_tone", "locator_vol", "locator_period_ms", "walk_tone",
    "wait_msg",     "walk_msg",    "street_msg",        "extpress_ms",
    "vibrotactile", "led_confirm", "night_vol_max",     "night_start_min",
    "night_end_min"};
constexpr int32_t SETTING_VALUES[] = {3, 20, 90,   1, 2, 40, 1000, 1,  3,
                                      4, 12, 1500, 1, 1, 60, 1320, 360};
constexpr int SETTING_COUNT = 17;

// What a station takes from the push: every int32 element in order, and a digest of the names
// (length and first letter, what a station's table of settings tells them apart by).
struct Settings {
    int count;
    int32_t values[32];
    uint32_t names;
    bool operator==(const Settings&) const = default;
};

void takeSetting(Settings& settings, const char* name, uint32_t nameLength, int32_t value) {
    if (settings.count < 32) {
        settings.values[settings.count] = value;
    }
    ++settings.count;
    settings.names = settings.names * 31 + nameLength * 256 + static_cast<uint8_t>(name[0]);
}

uint32_t buildConfigOurs(uint8_t* buffer) {
    bson_builder b;
    bson_init(&b, buffer, BUFFER_SIZE);
    bson_appendInt(&b, "t", 1);
    for (int i = 0; i < SETTING_COUNT; ++i) {
        bson_appendInt(&b, SETTING_NAMES[i], SETTING_VALUES[i]);
    }
    bson_finish(&b);
    return static_cast<uint32_t>(bson_size(&b));
}

void buildConfigLibbson(bson_t* b) {
    bson_init(b);
    BSON_APPEND_INT32(b, "t", 1);
    for (int i = 0; i < SETTING_COUNT; ++i) {
        BSON_APPEND_INT32(b, SETTING_NAMES[i], SETTING_VALUES[i]);
    }
}

// The cursor checks each element as it hands it out, so the walk is the check: what was taken
// counts only when the walk reaches the end of a sound document.
Settings readConfigOurs(const uint8_t* document, uint32_t size) {
    Settings settings{};
    bson_cursor cursor;
    bson_element element;
    if (bson_cursorInit(&cursor, document, size) != 0) {
        return settings;
    }
    int more;
    while ((more = bson_cursorNext(&cursor, &element)) > 0) {
        int32_t value = 0;
        if (bson_elementInt(&element, &value) == 0) {
            takeSetting(settings, element.name, element.nameLength, value);
        }
    }
    return more == 0 ? settings : Settings{};
}

Settings readConfigLibbson(const uint8_t* document, uint32_t size) {
    Settings settings{};
    bson_t b;
    bson_iter_t iter;
    if (!bson_init_static(&b, document, size) || !bson_iter_init(&iter, &b)) {
        return settings;
    }
    while (bson_iter_next(&iter)) {
        if (BSON_ITER_HOLDS_INT32(&iter)) {
            takeSetting(settings, bson_iter_key(&iter), bson_iter_key_len(&iter),
                        bson_iter_int32(&iter));
        }
    }
    return settings;
}

// One document's builders and readers, ours and libbson's.
template <class Value>
struct Document {
    const char* name;
    uint32_t (*buildOurs)(uint8_t*);
    void (*buildLibbson)(bson_t*);
    Value (*readOurs)(const uint8_t*, uint32_t);
    Value (*readLibbson)(const uint8_t*, uint32_t);
};

const Document<Event> EVENT{"station event", buildEventOurs, buildEventLibbson, readEventOurs,
                            readEventLibbson};
const Document<Command> COMMAND{"CID command", buildCommandOurs, buildCommandLibbson,
                                readCommandOurs, readCommandLibbson};
const Document<Status> STATUS{"status answer", buildStatusOurs, buildStatusLibbson, readStatusOurs,
                              readStatusLibbson};
const Document<Settings> CONFIG{"configuration push", buildConfigOurs, buildConfigLibbson,
                                readConfigOurs, readConfigLibbson};

template <class Value>
void addPairs(std::vector<MicroPair>& pairs, const Document<Value>& doc) {
    pairs.push_back({std::string("BSON build: ") + doc.name, "libbson",
                     [build = doc.buildOurs](benchmark::State& state) {
                         uint8_t buffer[BUFFER_SIZE];
                         for (auto _ : state) {
                             benchmark::DoNotOptimize(build(buffer));
                             benchmark::ClobberMemory();
                         }
                     },
                     [build = doc.buildLibbson](benchmark::State& state) {
                         for (auto _ : state) {
                             bson_t b;
                             build(&b);
                             benchmark::DoNotOptimize(bson_get_data(&b));
                             benchmark::ClobberMemory();
                             bson_destroy(&b);
                         }
                     }});
    // Both sides read the same bytes, built once by lib/bson.
    auto bytes = std::make_shared<Bytes>(BUFFER_SIZE);
    bytes->resize(doc.buildOurs(bytes->data()));
    auto reader = [bytes](Value (*read)(const uint8_t*, uint32_t)) {
        return [bytes, read](benchmark::State& state) {
            for (auto _ : state) {
                Value value = read(bytes->data(), static_cast<uint32_t>(bytes->size()));
                benchmark::DoNotOptimize(value);
            }
        };
    };
    pairs.push_back({std::string("BSON read: ") + doc.name, "libbson", reader(doc.readOurs),
                     reader(doc.readLibbson)});
}

template <class Value>
void addMismatches(std::vector<std::string>& found, const Document<Value>& doc) {
    uint8_t buffer[BUFFER_SIZE];
    Bytes ours(buffer, buffer + doc.buildOurs(buffer));
    bson_t b;
    doc.buildLibbson(&b);
    Bytes theirs(bson_get_data(&b), bson_get_data(&b) + b.len);
    bson_destroy(&b);
    if (ours != theirs) {
        found.push_back(std::string("BSON build: ") + doc.name + ": lib/bson and libbson differ");
    }
    uint32_t size = static_cast<uint32_t>(ours.size());
    Value expected = doc.readOurs(ours.data(), size);
    if (!(doc.readLibbson(ours.data(), size) == expected) ||
        !(doc.readOurs(ours.data(), size) == doc.readLibbson(theirs.data(), size)) ||
        expected == Value{}) {
        found.push_back(std::string("BSON read: ") + doc.name + ": the readers differ");
    }
}

}  // namespace

std::vector<MicroPair> bsonPairs() {
    std::vector<MicroPair> pairs;
    addPairs(pairs, EVENT);
    addPairs(pairs, COMMAND);
    addPairs(pairs, STATUS);
    addPairs(pairs, CONFIG);
    return pairs;
}

std::vector<std::string> bsonMismatches() {
    std::vector<std::string> found;
    addMismatches(found, EVENT);
    addMismatches(found, COMMAND);
    addMismatches(found, STATUS);
    addMismatches(found, CONFIG);
    return found;
}
