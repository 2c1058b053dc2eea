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

// Reads exactly `count` bytes from fd into buffer: 0, or -1 on end of stream or error.
int receiveExact(int fd, uint8_t* buffer, int count);

// Reads one length-prefixed document into messageBuffer: 0 when its length L (4..1024, the
// first four bytes of the buffer) was accepted and all L bytes arrived, else negative after a
// logged failure.
int receiveMessage(int fd);

// Decodes the `size` bytes of a received document. A new event (the next serial), or a copy of
// nullEvent when the bytes do not hold a well-formed document with an int32 "sid" of 0..16 and an
// int32 "e" of 0..5. Never reads past `size` bytes.
APBEvent decodeEvent(const uint8_t* document, uint32_t size);

// The next event from the station connection, or a copy of nullEvent after a logged failure.
APBEvent receiveEvent(int connection);
