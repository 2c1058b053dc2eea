// A station's byte stream as a child of callrelayd reads it: the input is written into one end
// of a socket pair and closed, and receiveEvent reads messages from the other end until the
// stream ends or fails, exactly as the child loop does.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "bson.h"
#include "event.h"
#include "fuzz_check.h"

namespace {

// Writes all of `data` into fd; the caller's socket buffer is larger than any input.
bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool valid(const APBEvent& event) {
    return event.stationId >= 0 && event.stationId <= MAX_STATION_ID && event.type >= 0 &&
           event.type <= MAX_EVENT_TYPE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // decodeEvent on the whole input, held in a block of exactly its size.
    auto held = fuzz::exactCopy(data, size);
    APBEvent direct = decodeEvent(held.get(), static_cast<uint32_t>(size));
    FUZZ_CHECK(direct == nullEvent || (direct.serial > 0 && valid(direct)));

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        return 0;
    }
    int buffer = 1 << 20;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    bool written = writeAll(ends[1], data, size);
    close(ends[1]);
    if (written) {
        // Every message is at least five bytes, so the stream ends after size / 5 + 1 reads.
        StationStream stream(ends[0]);
        size_t consumed = 0;
        Received received = Received::EVENT;
        for (size_t reads = 0; reads <= size / 5 + 1; ++reads) {
            APBEvent event = nullEvent;
            received = receiveEvent(stream, event);
            if (received == Received::END || received == Received::FAILED) {
                break;
            }
            // The message is the one that starts where the last one ended.
            FUZZ_CHECK(size - consumed >= 4);
            uint32_t length = bson_length(held.get() + consumed);
            FUZZ_CHECK(length >= 5 && length <= MESSAGE_BUFFER_SIZE && length <= size - consumed);
            auto message = fuzz::exactCopy(held.get() + consumed, length);
            consumed += length;
            if (received == Received::SKIPPED) {
                continue;
            }
            FUZZ_CHECK(valid(event));
            // The message again from a block of exactly its length must read the same event.
            APBEvent again = decodeEvent(message.get(), length);
            FUZZ_CHECK(again.stationId == event.stationId && again.type == event.type);
            FUZZ_CHECK(again.serial == event.serial + 1);
        }
        // Only a stream read to its very end ends without a failure.
        FUZZ_CHECK(received != Received::END || consumed == size);
    }
    close(ends[0]);
    return 0;
}
