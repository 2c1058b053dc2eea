#include "event.h"

#include <sys/socket.h>

#include <cerrno>

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
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return -1;
        }
        if (r == 0) {
            break;
        }
        total += static_cast<int>(r);
    }
    return total;
}

int receiveMessage(int fd) {
    int received = receiveExact(fd, messageBuffer, 4);
    if (received == 0) {
        return MESSAGE_END;
    }
    if (received != 4) {
        logWarning("Error receiving message", 1);
        return -1;
    }
    // Little-endian on the wire whatever the host; the smallest document is 5 bytes (length and
    // terminator), and a length below that wraps round and is refused too.
    uint32_t length = bson_length(messageBuffer);
    if (length - 5u > MESSAGE_BUFFER_SIZE - 5u) {
        logWarning("BSON document too long", 0);
        return -1;
    }
    int rest = static_cast<int>(length - 4u);
    if (receiveExact(fd, messageBuffer + 4, rest) != rest) {
        logWarning("Received bytes doesn't match indicated length", 1);
        return -1;
    }
    return MESSAGE_RECEIVED;
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

Received receiveEvent(int connection, APBEvent& event) {
    int result = receiveMessage(connection);
    if (result == MESSAGE_END) {
        return Received::END;
    }
    if (result < 0) {
        logWarning("Error recieving BSON document", 0);
        return Received::FAILED;
    }
    // The length was accepted by receiveMessage (5..1024) and all of it received, so the next
    // message starts right after it whatever this one holds.
    event = decodeEvent(messageBuffer, bson_length(messageBuffer));
    if (event == nullEvent) {
        logWarning("Error desierializing bson document", 0);
        return Received::SKIPPED;
    }
    return Received::EVENT;
}
