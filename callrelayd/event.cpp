#include "event.h"

#include <sys/socket.h>

#include "bson.h"
#include "log.h"

const APBEvent nullEvent{0, 0, 0};
uint8_t messageBuffer[MESSAGE_BUFFER_SIZE];

namespace {

int32_t eventSerial = 2;

// The int32 value of `name`, or -1 when the element is absent or of another type.
int32_t intOrMinusOne(const uint8_t* document, const char* name) {
    int32_t value = 0;
    if (bson_getInt(bson_find(document, name), &value) < 0) {
        return -1;
    }
    return value;
}

}  // namespace

int receiveExact(int fd, uint8_t* buffer, int count) {
    int total = 0;
    while (total < count) {
        ssize_t r = recv(fd, buffer + total, static_cast<size_t>(count - total), 0);
        if (r <= 0) {
            return -1;
        }
        total += static_cast<int>(r);
    }
    return total == count ? 0 : -1;
}

int receiveMessage(int fd) {
    int result = receiveExact(fd, messageBuffer, 4);
    if (result < 0) {
        logWarning("Error receiving message", 1);
        return result;
    }
    // Little-endian on the wire whatever the host; a length below 4 wraps round and is refused.
    uint32_t length = bson_length(messageBuffer);
    if (length - 4u > MESSAGE_BUFFER_SIZE - 4u) {
        logWarning("BSON document too long", 0);
        return -1;
    }
    if (receiveExact(fd, messageBuffer + 4, static_cast<int>(length - 4u)) < 0) {
        logWarning("Received bytes doesn't match indicated length", 1);
        return -1;
    }
    return 0;
}

APBEvent decodeEvent(const uint8_t* document, uint32_t size) {
    APBEvent event{eventSerial++, 0, 0};
    // Element sizes inside the bytes may lie; the walk below is only safe on checked bytes.
    if (bson_check(document, size) < 0) {
        return nullEvent;
    }
    event.stationId = intOrMinusOne(document, "sid");
    event.type = intOrMinusOne(document, "e");
    if (static_cast<uint32_t>(event.stationId) <= MAX_STATION_ID &&
        static_cast<uint32_t>(event.type) <= MAX_EVENT_TYPE) {
        return event;
    }
    return nullEvent;
}

APBEvent receiveEvent(int connection) {
    if (receiveMessage(connection) < 0) {
        logWarning("Error recieving BSON document", 0);
        return nullEvent;
    }
    // The length was accepted by receiveMessage (4..1024) and all of it received.
    APBEvent event = decodeEvent(messageBuffer, bson_length(messageBuffer));
    if (event == nullEvent) {
        logWarning("Error desierializing bson document", 0);
        return nullEvent;
    }
    return event;
}
