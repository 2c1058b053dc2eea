#include "event.h"

#include <sys/socket.h>

#include <cerrno>

#include "bson.h"
#include "log.h"

const APBEvent nullEvent{0, 0, 0};
uint8_t messageBuffer[MESSAGE_BUFFER_SIZE];

namespace {

int32_t eventSerial = 2;

// The int32 value of `element`, or -1 when it was not found or is of another type.
int32_t intOrMinusOne(const bson_element& element) {
    int32_t value = 0;
    return bson_elementInt(&element, &value) == 0 ? value : -1;
}

// Takes all that has arrived, up to the free room; waits only while nothing has.
long receiveArrived(void* source, uint8_t* into, size_t, size_t room) {
    auto* stream = static_cast<StationStream*>(source);
    if (stream->wait != nullptr) {
        stream->wait(stream->waitContext, stream->connection);
    }
    ssize_t got;
    do {
        got = recv(stream->connection, into, room, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

// The smallest message is 5 bytes (length and terminator).
StationStream::StationStream(int fd, StationWait wait, void* waitContext)
    : connection(fd),
      wait(wait),
      waitContext(waitContext),
      reader{receiveArrived, this, buffer, sizeof buffer, 5, MESSAGE_BUFFER_SIZE, 0, 0, 0} {}

APBEvent decodeEvent(const uint8_t* document, uint32_t size) {
    static const char* const names[] = {"sid", "e"};
    APBEvent event{eventSerial, 0, 0};
    eventSerial = serialAfter(eventSerial);
    bson_element found[2];
    if (bson_findAll(document, size, names, 2, found) < 0) {
        return nullEvent;
    }
    event.stationId = intOrMinusOne(found[0]);
    event.type = intOrMinusOne(found[1]);
    if (static_cast<uint32_t>(event.stationId) <= MAX_STATION_ID &&
        static_cast<uint32_t>(event.type) <= MAX_EVENT_TYPE) {
        return event;
    }
    return nullEvent;
}

int32_t serialAfter(int32_t serial) {
    return serial == INT32_MAX ? 2 : serial + 1;
}

Received receiveEvent(StationStream& stream, APBEvent& event) {
    const uint8_t* message = nullptr;
    switch (bson_frameNext(&stream.reader, &message)) {
        case BSON_FRAME_END:
            return Received::END;
        case BSON_FRAME_PREFIX:
            logWarning("Error receiving message", 1);
            break;
        case BSON_FRAME_REFUSED:
            logWarning("BSON document too long", 0);
            break;
        case BSON_FRAME_BODY:
            logWarning("Received bytes doesn't match indicated length", 1);
            break;
        case BSON_FRAME_WHOLE:
            event = decodeEvent(message, stream.reader.length);
            if (event == nullEvent) {
                logWarning("Error desierializing bson document", 0);
                return Received::SKIPPED;
            }
            return Received::EVENT;
    }
    logWarning("Error recieving BSON document", 0);
    return Received::FAILED;
}
