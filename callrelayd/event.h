// Reception of station events: one BSON document at a time from a station's connection, decoded
// into an APBEvent.
#pragma once

#include <cstdint>

constexpr int MESSAGE_BUFFER_SIZE = 1024;
constexpr int32_t MAX_STATION_ID = 16;
constexpr int32_t MAX_EVENT_TYPE = 5;

enum APBEventType : int32_t {
    APB_EVENT_NONE = 0,
    APB_EVENT_BUTTON_DOWN = 1,
    APB_EVENT_BUTTON_UP = 2,
    APB_EVENT_CONFIG_REQUEST = 3,
    APB_EVENT_PED_CALL = 4,
    APB_EVENT_APS_CALL = 5,
};

// One decoded event. Two events are the same event when their serials are equal.
struct APBEvent {
    int32_t serial;
    int32_t stationId;
    int32_t type;

    bool operator==(const APBEvent& other) const { return serial == other.serial; }
};

// Stands for "no valid event"; decoded events never equal it since serials start at 2.
extern const APBEvent nullEvent;

// The one buffer of the process: a received message, then a command or configuration document.
extern uint8_t messageBuffer[MESSAGE_BUFFER_SIZE];

// Reads up to `count` bytes from fd into buffer, until all arrived or the stream ended: the
// number read, or -1 on a receive error. An interrupted receive is made again.
int receiveExact(int fd, uint8_t* buffer, int count);

// What receiveMessage found.
constexpr int MESSAGE_RECEIVED = 0;  // one whole document now starts messageBuffer
constexpr int MESSAGE_END = 1;       // the stream ended before any byte of a next message

// Reads one length-prefixed document into messageBuffer: MESSAGE_RECEIVED when its length L
// (5..1024, the first four bytes of the buffer) was accepted and all L bytes arrived,
// MESSAGE_END, or negative after a logged failure (the stream cannot be followed any further).
int receiveMessage(int fd);

// Decodes the `size` bytes of a received document. A new event (the next serial), or a copy of
// nullEvent when the bytes do not hold a well-formed document with an int32 "sid" of 0..16 and an
// int32 "e" of 0..5. Never reads past `size` bytes.
APBEvent decodeEvent(const uint8_t* document, uint32_t size);

// What receiveEvent found on a station connection.
enum class Received {
    EVENT,    // a valid event
    SKIPPED,  // a whole document that holds no valid event, logged; the stream goes on
    END,      // the station closed the connection between messages
    FAILED,   // a logged receive error, length out of range or message cut short
};

// Reads the next message from the station connection into `event`.
Received receiveEvent(int connection, APBEvent& event);
