// The configuration push against databases and station listeners of the test's own making;
// the CID commands are checked by the whole-program tests.
// Station n of these tests lives at 127.0.0.(1 + n), all of which is loopback.
#include "relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

#include "bson_writer.h"
#include "descriptors.h"
#include "scratch.h"
#include "socket.h"

namespace {

using testbson::Bytes;
const auto ints = testbson::intDocument;

constexpr uint32_t LOOPBACK_BASE = 0x7F000001;  // station 0 at 127.0.0.1

sockaddr_in loopback(uint32_t address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    return in;
}

uint16_t portOf(int fd) {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length);
    return ntohs(in.sin_port);
}

bool readable(int fd, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, milliseconds) > 0;
}

// A scratch directory with a database built from `sql`.
class Database {
  public:
    explicit Database(const char* sql = nullptr) {
        if (sql != nullptr) {
            EXPECT_EQ(execSql(path_, sql), "");
        }
    }
    const char* path() const { return path_.c_str(); }

  private:
    ScratchDirectory directory_;
    std::string path_ = directory_.path() + "/config.db";
};

const char* SAMPLE =
    "CREATE TABLE s(id INTEGER, a, b);"
    "INSERT INTO s VALUES (4, 7, -3), (5, NULL, 2.9), (6, '12abc', 'x');"
    "CREATE VIEW v_sendtostation AS SELECT id, a, b FROM s;";

struct Loaded {
    int length;
    Bytes document;
    std::string log;
};

Loaded load(const char* path, int32_t station, int capacity = 1024) {
    Bytes buffer(static_cast<size_t>(capacity));
    testing::internal::CaptureStderr();
    int length = loadConfig(path, station, buffer.data(), capacity);
    std::string log = testing::internal::GetCapturedStderr();
    buffer.resize(length < 0 ? 0 : static_cast<size_t>(length));
    return {length, buffer, log};
}

TEST(LoadConfigTest, RowBecomesTypeOneThenEveryColumnAsInt32) {
    Database db(SAMPLE);
    const struct {
        int32_t station;
        Bytes document;
    } cases[] = {
        {4, ints({{"t", 1}, {"id", 4}, {"a", 7}, {"b", -3}})},
        {5, ints({{"t", 1}, {"id", 5}, {"a", 0}, {"b", 2}})},
        {6, ints({{"t", 1}, {"id", 6}, {"a", 12}, {"b", 0}})},
    };
    for (const auto& c : cases) {
        Loaded loaded = load(db.path(), c.station);
        EXPECT_EQ(loaded.length, static_cast<int>(c.document.size())) << c.station;
        EXPECT_EQ(loaded.document, c.document) << c.station;
        EXPECT_EQ(loaded.log, "");
    }
}

TEST(LoadConfigTest, FailuresAreLoggedAndGiveMinusOne) {
    Database sample(SAMPLE);
    Database empty("");
    Database missing;
    Loaded noRow = load(sample.path(), 9);
    EXPECT_EQ(noRow.length, -1);
    EXPECT_NE(noRow.log.find("]Config not found\n"), std::string::npos) << noRow.log;

    Loaded noView = load(empty.path(), 4);
    EXPECT_EQ(noView.length, -1);
    EXPECT_NE(noView.log.find("]Can't prepare statementno such table: v_sendtostation\n"),
              std::string::npos)
        << noView.log;

    Loaded noFile = load(missing.path(), 4);
    EXPECT_EQ(noFile.length, -1);
    EXPECT_NE(noFile.log.find("]Can't upen config database.\n"), std::string::npos) << noFile.log;
    EXPECT_NE(access(missing.path(), F_OK), 0) << "a missing database is created";
}

TEST(LoadConfigTest, RowTooLargeForTheBufferIsRefusedWhole) {
    std::string columns;
    for (int i = 0; i < 40; ++i) {
        columns += ", 1 AS setting_with_a_long_descriptive_name_" + std::to_string(i);
    }
    std::string sql = "CREATE VIEW v_sendtostation AS SELECT 2 AS id" + columns + ";";
    Database db(sql.c_str());
    EXPECT_EQ(load(db.path(), 2).length, -1);
    Loaded roomy = load(db.path(), 2, 4096);
    EXPECT_GT(roomy.length, 1024);
    Loaded tight = load(db.path(), 2, roomy.length);
    EXPECT_EQ(tight.length, roomy.length) << "exactly enough room is enough";
    EXPECT_EQ(load(db.path(), 2, roomy.length - 1).length, -1);
}

TEST(SendConfigTest, PushesTheRowToTheStationAndCloses) {
    Database db(SAMPLE);
    Socket listener(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(LOOPBACK_BASE + 4, 0);
    ASSERT_EQ(bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.fd(), 1), 0);
    RelayTargets targets{-1, db.path(), LOOPBACK_BASE, portOf(listener.fd())};

    sendConfig(4, targets);
    ASSERT_TRUE(readable(listener.fd(), 1000));
    Socket station(accept(listener.fd(), nullptr, nullptr));
    Bytes received(64);
    ssize_t n = recv(station.fd(), received.data(), received.size(), MSG_WAITALL);
    received.resize(n < 0 ? 0 : static_cast<size_t>(n));
    EXPECT_EQ(received, ints({{"t", 1}, {"id", 4}, {"a", 7}, {"b", -3}}));

    testing::internal::CaptureStderr();
    sendConfig(9, targets);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("]Config not found\n"), std::string::npos);
    EXPECT_NE(log.find("]Unable to load config\n"), std::string::npos);
    EXPECT_FALSE(readable(listener.fd(), 100)) << "a station without a row is never contacted";
}

TEST(SendConfigTest, UnreachableStationIsLogged) {
    Database db(SAMPLE);
    Socket closed(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(LOOPBACK_BASE + 4, 0);
    bind(closed.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    RelayTargets targets{-1, db.path(), LOOPBACK_BASE, portOf(closed.fd())};
    testing::internal::CaptureStderr();
    sendConfig(4, targets);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("]Unable to connect-Connection refused\n"), std::string::npos) << log;
    EXPECT_NE(log.find("]Unable to connect to APB\n"), std::string::npos) << log;
}

TEST(SendConfigTest, NoOutcomeLeavesADescriptorOpen) {
    Database db(SAMPLE);
    Database noView;
    std::string wide = "CREATE VIEW v_sendtostation AS SELECT 4 AS id";
    for (int i = 0; i < 60; ++i) {
        wide += ", 1 AS a_setting_with_a_long_name_" + std::to_string(i);
    }
    Database tooWide((wide + ";").c_str());
    Socket listener(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(LOOPBACK_BASE + 4, 0);
    ASSERT_EQ(bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.fd(), 4), 0);
    uint16_t port = portOf(listener.fd());
    const struct {
        const char* name;
        const char* database;
        int32_t station;
    } cases[] = {
        {"pushed", db.path(), 4},
        {"no row", db.path(), 9},
        {"no view", noView.path(), 4},
        {"cannot open", "/nonexistent-directory/config.db", 4},
        {"row too large", tooWide.path(), 4},
        {"station refuses", db.path(), 5},  // nothing listens on its address
    };
    size_t before = openDescriptors();
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        sendConfig(c.station, RelayTargets{-1, c.database, LOOPBACK_BASE, port});
        testing::internal::GetCapturedStderr();
        while (readable(listener.fd(), 0)) {
            close(accept(listener.fd(), nullptr, nullptr));
        }
        EXPECT_EQ(openDescriptors(), before) << c.name;
    }
}

}  // namespace
