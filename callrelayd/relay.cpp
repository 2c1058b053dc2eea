#include "relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "bson.h"
#include "cid.h"
#include "database.h"
#include "log.h"
#include "socket.h"

namespace {

// The command goes out before its line is logged, so that a slow log never delays a call.
void relayCommand(CidSender& cid, const CIDCommand& command, const char* line) {
    cid.send(command);
    logInfo(line, 0);
}

}  // namespace

void relayEvent(const APBEvent& event, const RelayTargets& targets, CidSender& cid) {
    switch (event.type) {
        case APB_EVENT_BUTTON_DOWN:
            return relayCommand(cid, CIDButtonDownCommand(event.stationId), "Button down");
        case APB_EVENT_BUTTON_UP:
            return relayCommand(cid, CIDButtonUpCommand(event.stationId), "Button up");
        case APB_EVENT_CONFIG_REQUEST:
            logInfo("Sending config", 0);
            return sendConfig(event.stationId, targets);
        case APB_EVENT_PED_CALL:
            return relayCommand(cid, CIDPedCallCommand(event.stationId), "Ped Call");
        case APB_EVENT_APS_CALL:
            return relayCommand(cid, CIDAPSCallCommand(event.stationId), "APS Call");
        default: {
            logWarning("Unhandled event", 0);
            char number[16];
            int length = snprintf(number, sizeof number, "\t%d\n", event.type);
            logStandardOutput(number, static_cast<size_t>(length));
        }
    }
}

void sendConfig(int32_t stationId, const RelayTargets& targets) {
    int length = loadConfig(targets.database, stationId, messageBuffer, MESSAGE_BUFFER_SIZE);
    if (length < 0) {
        logWarning("Unable to load config", 0);
        return;
    }
    Socket station(connectToAPB(stationId, targets.stationBase, targets.stationPort));
    if (station.fd() < 0) {
        logWarning("Unable to connect to APB", 0);
        return;
    }
    // A station that takes only part of it gets no second try; the push is fire-and-forget.
    (void)send(station.fd(), messageBuffer, static_cast<size_t>(length), MSG_NOSIGNAL);
}

int loadConfig(const char* database, int32_t stationId, uint8_t* buffer, int capacity) {
    // Opened for writing where the file allows it, so that SQLite can roll back the journal of a
    // writer that died mid-transaction; a missing file is not created. Both handles close on
    // every path out.
    sqlite3* handle = nullptr;
    int opened = database_open(database, &handle);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(handle, sqlite3_close);
    if (opened != SQLITE_OK) {
        logWarning("Can't upen config database.", 0);
        return -1;
    }
    std::string query = "SELECT * FROM v_sendtostation WHERE id=" + std::to_string(stationId);
    sqlite3_stmt* row = nullptr;
    int prepared =
        sqlite3_prepare_v2(handle, query.c_str(), static_cast<int>(query.size()), &row, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(row, sqlite3_finalize);
    if (prepared != SQLITE_OK) {
        logWarning((std::string("Can't prepare statement") + sqlite3_errmsg(handle)).c_str(), 0);
        return -1;
    }
    int step = sqlite3_step(row);
    if (step == SQLITE_DONE) {
        logWarning("Config not found", 0);
        return -1;
    }
    if (step != SQLITE_ROW) {
        logWarning((std::string("Can't read config-") + sqlite3_errmsg(handle)).c_str(), 0);
        return -1;
    }
    bson_builder builder;
    if (capacity < 0 || bson_init(&builder, buffer, static_cast<uint32_t>(capacity)) < 0) {
        return -1;
    }
    bson_appendInt(&builder, "t", 1);
    int columns = sqlite3_column_count(row);
    for (int i = 0; i < columns; ++i) {
        int32_t value = sqlite3_column_int(row, i);
        const char* name = sqlite3_column_name(row, i);
        if (name == nullptr || bson_appendInt(&builder, name, value) < 0) {
            return -1;
        }
    }
    // A row too large for the buffer is refused whole: the station never gets a cut document.
    if (bson_finish(&builder) != 1) {
        return -1;
    }
    return bson_size(&builder);
}

namespace {

// Waits for a non-blocking connect to end: 0 when connected, else -1 with errno set (ETIMEDOUT
// when `milliseconds` ran out). A signal does not cut the wait short.
int waitConnected(int fd, int milliseconds) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    do {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        ready = poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        errno = ETIMEDOUT;
    }
    if (ready <= 0) {
        return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) {
        return -1;
    }
    errno = error;
    return error == 0 ? 0 : -1;
}

}  // namespace

int connectToAPB(int32_t stationId, uint32_t stationBase, uint16_t port) {
    Socket station(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (station.fd() < 0) {
        logWarning("Unable to get socket.", 0);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(stationBase + static_cast<uint32_t>(stationId));
    int result = connect(station.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result < 0 && errno == EINPROGRESS) {
        result = waitConnected(station.fd(), APB_CONNECT_TIMEOUT_MS);
    }
    if (result < 0) {
        logWarning("Unable to connect", 1);
        return -1;
    }
    return station.release();
}
