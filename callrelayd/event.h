// Reception of station events: one BSON document at a time from a station's connection, decoded
// into an APBEvent.
#pragma once

#include <cstdint>

#include "bson.h"

constexpr int MESSAGE_BUFFER_SIZE = 1024;
constexpr int32_t MAX_STATION_ID = 16;

enum APBEventType : int32_t {
    APB_EVENT_NONE = 0,
    APB_EVENT_BUTTON_DOWN = 1,
    APB_EVENT_BUTTON_UP = 2,
    APB_EVENT_CONFIG_REQUEST = 3,
    APB_EVENT_PED_CALL = 4,
    APB_EVENT_APS_CALL = 5,
};
constexpr int32_t MAX_EVENT_TYPE = APB_EVENT_APS_CALL;

// One decoded event. Two events are the same event when their serials are equal.
struct APBEvent {
    int32_t serial;
    int32_t stationId;
    int32_t type;

    bool operator==(const APBEvent& other) const { return serial == other.serial; }
};

// Stands for "no valid event"; decoded events never equal it since serials start at 2.
extern const APBEvent nullEvent;

// The buffer of the process in which commands and configuration documents are built.
extern uint8_t messageBuffer[MESSAGE_BUFFER_SIZE];

// Called before each read of a station connection; returns once the connection has bytes (or
// its end) to read. Without one, the read itself waits.
using StationWait = void (*)(void* context, int connection);

// A station connection's bytes cut into messages of 5..1024 bytes: one recv takes all that has
// arrived, up to the buffer's free room, and the whole messages in it are handed out in turn.
struct StationStream {
    explicit StationStream(int connection, StationWait wait = nullptr, void* waitContext = nullptr);
    StationStream(const StationStream&) = delete;
    StationStream& operator=(const StationStream&) = delete;

    int connection;
    StationWait wait;
    void* waitContext;
    uint8_t buffer[MESSAGE_BUFFER_SIZE];
    bson_frameReader reader;
};

// Decodes the `size` bytes of a received document. A new event (the next serial), or a copy of
// nullEvent when the bytes do not hold a well-formed document with an int32 "sid" of 0..16 and an
// int32 "e" of 0..5. Never reads past `size` bytes.
APBEvent decodeEvent(const uint8_t* document, uint32_t size);

// The serial of the event after one numbered `serial`: counting on from 2, and from the largest
// back to 2, so that no event is ever numbered 0 like nullEvent.
int32_t serialAfter(int32_t serial);

// What receiveEvent found on a station connection.
enum class Received {
    EVENT,    // a valid event
    SKIPPED,  // a whole document that holds no valid event, logged; the stream goes on
    END,      // the station closed the connection between messages
    FAILED,   // a logged receive error, length out of range or message cut short
};

// Takes the next message of the station's stream into `event`. Only a stream that ends between
// messages ends normally; a message cut short by its end, or of a length outside 5..1024, is a
// failure after which the stream cannot be followed.
Received receiveEvent(StationStream& stream, APBEvent& event);
