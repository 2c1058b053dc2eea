// callrelayd, the real binary, with the CID, the stations and syslog played by the test or by
// the simulators, each test in private namespaces of its own.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "harness.h"
#include "syslog_capture.h"

namespace systest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t RELAY_PORT = 50005;
constexpr uint16_t CONFIG_PORT = 50006;
const char* DATABASE = "/var/lib/vok/config.db";

std::string stationIp(int station) {
    return "192.168.0." + std::to_string(10 + station);
}

// ---- BSON written and read by hand, independent of the library under test ----

Bytes event(int32_t sid, int32_t type) {
    return intDocument({{"sid", sid}, {"e", type}});
}

struct Element {
    uint8_t type;
    std::string name;
    int32_t value;  // int32 elements only
};

// The top-level elements of a document; empty when it is not one that can be walked.
std::vector<Element> elementsOf(const Bytes& doc) {
    std::vector<Element> elements;
    if (doc.size() < 5 || doc.back() != 0) {
        return {};
    }
    size_t at = 4;
    auto int32At = [&](size_t offset) {
        int32_t value = 0;
        memcpy(&value, doc.data() + offset, 4);
        return value;
    };
    while (at < doc.size() - 1) {
        Element element{doc[at], "", 0};
        size_t name = at + 1;
        size_t end = name;
        while (end < doc.size() && doc[end] != 0) {
            ++end;
        }
        if (end + 1 >= doc.size()) {
            return {};
        }
        element.name.assign(doc.begin() + static_cast<long>(name),
                            doc.begin() + static_cast<long>(end));
        size_t value = end + 1;
        size_t size = 0;
        switch (element.type) {
            case 0x10:
                size = 4;
                break;
            case 0x01:
                size = 8;
                break;
            case 0x0A:
                size = 0;
                break;
            case 0x02:
            case 0x03:
                if (value + 4 > doc.size()) {
                    return {};
                }
                size = static_cast<uint32_t>(int32At(value)) + (element.type == 0x02 ? 4u : 0u);
                break;
            default:
                return {};
        }
        if (value + size > doc.size() - 1) {
            return {};
        }
        if (element.type == 0x10) {
            element.value = int32At(value);
        }
        elements.push_back(element);
        at = value + size;
    }
    return elements;
}

constexpr int LOG_DAEMON_FACILITY = 3;
constexpr int ERR = 3;
constexpr int WARNING = 4;
constexpr int INFO = 6;

// ---- the daemon and its surroundings ----

bool listening(uint16_t port) {
    char wanted[16];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    std::istringstream table(readFile("/proc/net/tcp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.size() > 5 && local.substr(local.size() - 5) == wanted && state == "0A") {
            return true;
        }
    }
    return false;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

// The texts of the standard-error lines of process `pid`, without their "[pid;secs]".
std::vector<std::string> linesOf(const std::string& err, pid_t pid) {
    std::vector<std::string> texts;
    std::string prefix = "[" + std::to_string(pid) + ";";
    for (const std::string& line : splitLines(err)) {
        size_t close = line.find(']');
        if (line.rfind(prefix, 0) == 0 && close != std::string::npos) {
            texts.push_back(line.substr(close + 1));
        }
    }
    return texts;
}

// Pids that appear in "[pid;secs]Child started" lines, in order.
std::vector<pid_t> childPids(const std::string& err) {
    std::vector<pid_t> pids;
    std::regex started(R"(^\[(\d+);-?\d+\]Child started$)");
    for (const std::string& line : splitLines(err)) {
        std::smatch match;
        if (std::regex_match(line, match, started)) {
            pids.push_back(std::stoi(match[1]));
        }
    }
    return pids;
}

// Children of `parent`, each with its state letter from /proc.
std::map<pid_t, char> childrenOf(pid_t parent) {
    std::map<pid_t, char> children;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0) {
            continue;
        }
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
            children[pid] = state;
        }
    }
    closedir(proc);
    return children;
}

int descriptorCount(pid_t pid) {
    int count = 0;
    DIR* directory = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (readdir(directory) != nullptr) {
        ++count;
    }
    closedir(directory);
    return count - 2;
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

bool eventually(const std::function<bool()>& condition, Millis limit = 5s) {
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class CallrelaydTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        syslog_ = std::make_unique<SyslogCapture>();
        mountTmpfs("/var/lib/vok");
    }

    void TearDown() override {
        if (daemon_) {
            // A sanitizer report of the daemon or of one of its children fails the test.
            std::string err = daemon_->err();
            EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
            EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
            expectEveryLineInSyslog(err);
        }
        if (syslog_) {
            expectCatalogueLevels();
        }
        daemon_.reset();
        syslog_.reset();
    }

    // Every line on the daemon's standard error also went to syslog. A line reaches syslog
    // before standard error, so the lines still missing are only in the capture's queue.
    void expectEveryLineInSyslog(const std::string& err) {
        std::multiset<std::string> missing;
        auto stillMissing = [&] {
            missing = {};
            for (const std::string& line : splitLines(err)) {
                if (line.rfind("[", 0) == 0) {
                    missing.insert(line);
                }
            }
            for (const SyslogLine& logged : syslog_->lines()) {
                auto found = missing.find(logged.text);
                if (found != missing.end()) {
                    missing.erase(found);
                }
            }
            return !missing.empty();
        };
        eventually([&] { return !stillMissing(); });
        for (const std::string& line : missing) {
            ADD_FAILURE() << "only on standard error: " << line;
        }
    }

    // Every line that callrelayd sent to syslog is a text of its catalogue, exactly, at the
    // catalogue's level, with the errno description appended exactly when the catalogue says.
    void expectCatalogueLevels() {
        const struct {
            const char* text;
            int level;
            bool withErrno;
        } catalogue[] = {
            {"starting", INFO, false},
            {"Error creating socket", WARNING, true},
            {"Error setting socket reuse", WARNING, true},
            {"Error binding socket", WARNING, true},
            {"Error setting socket to listen", WARNING, true},
            {"Error opening CID socket", ERR, false},
            {"Error getting hostname", ERR, false},
            {"Error connecting to CID", ERR, true},
            {"Error initializing communication", ERR, false},
            {"Error accepting connection", WARNING, true},
            {"Child started", INFO, false},
            {"Invalid event received", ERR, false},
            {"Error receiving message", WARNING, true},
            {"BSON document too long", WARNING, false},
            {"Received bytes doesn't match indicated length", WARNING, true},
            {"Error recieving BSON document", WARNING, false},
            {"Error desierializing bson document", WARNING, false},
            {"Button down", INFO, false},
            {"Button up", INFO, false},
            {"Sending config", INFO, false},
            {"Ped Call", INFO, false},
            {"APS Call", INFO, false},
            {"Unhandled event", WARNING, false},
            {"Problem sending command to CID", WARNING, true},
            {"Unable to load config", WARNING, false},
            {"Unable to connect to APB", WARNING, false},
            {"Unable to get socket.", WARNING, false},
            {"Unable to connect", WARNING, true},
            {"Can't upen config database.", WARNING, false},
            {"Config not found", WARNING, false},
        };
        const std::string prepare = "Can't prepare statement";  // SQLite's message follows
        std::regex prefix(R"(^\[\d+;-?\d+\](.*)$)");
        for (const SyslogLine& logged : syslog_->lines()) {
            if (logged.ident != "callrelayd.v2") {
                continue;
            }
            std::smatch match;
            if (!std::regex_match(logged.text, match, prefix)) {
                ADD_FAILURE() << "no [pid;seconds] prefix: " << logged.text;
                continue;
            }
            std::string text = match[1];
            int level = -1;
            if (text.rfind(prepare, 0) == 0 && text.size() > prepare.size()) {
                level = WARNING;
            }
            for (const auto& entry : catalogue) {
                std::string exact = entry.withErrno ? std::string(entry.text) + "-" : entry.text;
                if (entry.withErrno ? text.rfind(exact, 0) == 0 : text == exact) {
                    level = entry.level;
                }
            }
            if (level < 0) {
                ADD_FAILURE() << "not in the catalogue: " << logged.text;
                continue;
            }
            EXPECT_EQ(logged.priority, LOG_DAEMON_FACILITY * 8 + level) << logged.text;
        }
    }

    // The configuration database: the project's schema and its sample data.
    void makeDatabase() { createSampleDatabase(DATABASE); }

    // The stations that have a row in v_sendtostation.
    std::set<int> configuredStations() {
        Result result = run({"/usr/bin/sqlite3", DATABASE, "SELECT id FROM v_sendtostation"});
        std::set<int> stations;
        for (const std::string& line : splitLines(result.out)) {
            stations.insert(std::stoi(line));
        }
        return stations;
    }

    // The document that callrelayd should push to `station`, from the database by the sqlite3
    // program: "t" = 1, then every column with SQLite's integer reading of its value.
    Bytes expectedConfig(int station) {
        std::string query = "SELECT * FROM v_sendtostation WHERE id=" + std::to_string(station);
        Result result = run({"/usr/bin/sqlite3", "-header", "-separator", "\x1f", DATABASE, query});
        std::vector<std::string> lines = splitLines(result.out);
        EXPECT_EQ(lines.size(), 2u) << result.out << result.err;
        if (lines.size() != 2) {
            return {};
        }
        auto split = [](const std::string& line) {
            std::vector<std::string> fields;
            std::string field;
            std::istringstream stream(line + "\x1f");
            while (std::getline(stream, field, '\x1f')) {
                fields.push_back(field);
            }
            return fields;
        };
        std::vector<std::string> names = split(lines[0]);
        std::vector<std::string> values = split(lines[1]);
        Bytes doc(4, 0);
        appendInt(doc, "t", 1);
        for (size_t i = 0; i < names.size(); ++i) {
            std::string value = i < values.size() ? values[i] : "";
            appendInt(doc, names[i], static_cast<int32_t>(strtoll(value.c_str(), nullptr, 10)));
        }
        return finishDocument(doc);
    }

    Process& startDaemon() {
        daemon_ = std::make_unique<Process>(std::vector<std::string>{program("callrelayd")});
        EXPECT_TRUE(eventually([] { return listening(RELAY_PORT); })) << daemon_->err();
        return *daemon_;
    }

    Socket connectStation(int station) {
        auto connection = tcpConnect(stationIp(station), "127.0.0.1", RELAY_PORT);
        if (!connection) {
            throw std::runtime_error("cannot connect station " + std::to_string(station));
        }
        return std::move(*connection);
    }

    // The standard-error lines of the child that serves the `index`-th connection.
    std::vector<std::string> childLines(size_t index) {
        std::vector<pid_t> pids;
        eventually([&] { return (pids = childPids(daemon_->err())).size() > index; });
        return pids.size() > index ? linesOf(daemon_->err(), pids[index])
                                   : std::vector<std::string>{};
    }

    std::unique_ptr<SyslogCapture> syslog_;
    std::unique_ptr<Process> daemon_;
};

// ---- the road of one button press ----

TEST_F(CallrelaydTest, PedestrianCallBecomesOneDatagramAndIsLogged) {
    UdpEndpoint cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    Socket station = connectStation(3);
    station.sendAll(event(3, 4));

    auto datagram = cid.receive(2s);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", 2}, {"sid", 3}})));
    EXPECT_EQ(datagram->size(), 21u);
    EXPECT_FALSE(cid.receive(200ms)) << "a second datagram";

    ASSERT_TRUE(daemon.waitForErr("]Ped Call\n"));
    std::regex line(R"(\[(\d+);(\d+)\]Ped Call)");
    std::smatch match;
    std::string err = daemon.err();
    ASSERT_TRUE(std::regex_search(err, match, line)) << err;
    pid_t child = std::stoi(match[1]);
    EXPECT_NE(child, daemon.pid()) << "relayed by the parent";

    auto logged = syslog_->find("]Ped Call");
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->text, match[0].str());
    EXPECT_EQ(logged->priority, LOG_DAEMON_FACILITY * 8 + INFO);
    EXPECT_EQ(logged->ident, "callrelayd.v2");
    EXPECT_EQ(logged->pid, child);
    auto starting = syslog_->find("]starting");
    ASSERT_TRUE(starting);
    EXPECT_EQ(starting->text, "[" + std::to_string(daemon.pid()) + ";0]starting");
    EXPECT_EQ(starting->priority, LOG_DAEMON_FACILITY * 8 + INFO);
}

TEST_F(CallrelaydTest, ButtonPressReachesTheSimulatedIntersection) {
    Process cidsim({program("cidsim"), "--tick-ms", "60000"});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    startDaemon();
    Result station = run({program("stationsim"), "3:1,4,2"});
    EXPECT_EQ(station.status, 0) << station.err;
    ASSERT_TRUE(cidsim.waitForOut("button_up t=9 sid=3 (21 bytes)\n")) << cidsim.out();
    EXPECT_NE(cidsim.out().find("button_down t=8 sid=3 (21 bytes)\n"
                                "ped_call t=2 sid=3 (21 bytes)\n"
                                "button_up t=9 sid=3 (21 bytes)\n"),
              std::string::npos)
        << cidsim.out();

    // The status query of the display daemon then shows the call on phase 3.
    UdpEndpoint client("127.0.0.1", 40000);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5000);
    to.sin_addr.s_addr = htonl(0x7F000001);
    Bytes query = intDocument({{"t", 1}});
    ASSERT_EQ(sendto(client.fd(), query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to),
              12);
    auto status = client.receive(2s);
    ASSERT_TRUE(status);
    std::map<std::string, int32_t> keys;
    for (const Element& element : elementsOf(*status)) {
        keys[element.name] = element.value;
    }
    EXPECT_EQ(keys["pcall"], 1 << 2);
    EXPECT_EQ(keys["sp"], 0) << "button up released station 3";
}

// ---- every event type ----

TEST_F(CallrelaydTest, EventTypesZeroToFiveDoWhatTheyMean) {
    makeDatabase();
    UdpEndpoint cid("127.0.0.1", 5000);
    TcpListener stationConfig(stationIp(5), CONFIG_PORT);
    Process& daemon = startDaemon();
    Socket station = connectStation(5);
    for (int type = 0; type <= 5; ++type) {
        station.sendAll(event(5, type));
    }

    for (int32_t command : {8, 9, 2, 3}) {
        auto datagram = cid.receive(2s);
        ASSERT_TRUE(datagram) << command;
        EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", command}, {"sid", 5}})));
    }
    EXPECT_FALSE(cid.receive(200ms)) << "nothing else reaches the CID";

    auto push = stationConfig.accept(2s);
    ASSERT_TRUE(push);
    Bytes expected = expectedConfig(5);
    auto pushed = push->receiveExact(expected.size(), 2s);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(hex(*pushed), hex(expected));
    EXPECT_TRUE(push->waitClosed(2s)) << "one document, then the connection is closed";

    ASSERT_TRUE(daemon.waitForErr("]APS Call\n"));
    EXPECT_EQ(daemon.out(), "\t0\n");
    std::vector<std::string> expectedLines = {"Child started", "Unhandled event", "Button down",
                                              "Button up",     "Sending config",  "Ped Call",
                                              "APS Call"};
    EXPECT_EQ(childLines(0), expectedLines);
    auto unhandled = syslog_->find("]Unhandled event");
    ASSERT_TRUE(unhandled);
    EXPECT_EQ(unhandled->priority, LOG_DAEMON_FACILITY * 8 + WARNING);
}

TEST_F(CallrelaydTest, CommandsAreSentBeforeOrAfterTheirLineAsStated) {
    // No CID: each datagram that is refused makes the next send fail with ECONNREFUSED.
    Process& daemon = startDaemon();
    Socket station = connectStation(2);
    for (int32_t type : {1, 1, 4, 4}) {
        station.sendAll(event(2, type));
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(eventually([&] { return childLines(0).size() >= 7; }));
    const std::string refused = "Problem sending command to CID-Connection refused";
    std::vector<std::string> expected = {"Child started", "Button down", refused, "Button down",
                                         "Ped Call",      "Ped Call",    refused};
    EXPECT_EQ(childLines(0), expected);
    auto warning = syslog_->find(refused);
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->priority, LOG_DAEMON_FACILITY * 8 + WARNING);
    // The child carries on.
    station.sendAll(event(2, 2));
    EXPECT_TRUE(daemon.waitForErr("]Button up\n"));
}

// ---- configuration push ----

TEST_F(CallrelaydTest, ConfigurationRequestPushesTheStationsRow) {
    makeDatabase();
    TcpListener stationConfig(stationIp(3), CONFIG_PORT);
    startDaemon();
    Socket station = connectStation(3);
    station.sendAll(event(3, 3));
    auto push = stationConfig.accept(2s);
    ASSERT_TRUE(push);
    Bytes expected = expectedConfig(3);
    ASSERT_FALSE(expected.empty());
    std::vector<Element> elements = elementsOf(expected);
    ASSERT_GE(elements.size(), 2u);
    EXPECT_EQ(elements[0].name, "t");
    EXPECT_EQ(elements[1].name, "id");
    EXPECT_EQ(elements[1].value, 3);
    auto pushed = push->receiveExact(expected.size(), 2s);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(hex(*pushed), hex(expected));
    EXPECT_TRUE(push->waitClosed(2s));
}

TEST_F(CallrelaydTest, StationSimulatorPrintsThePushedDocument) {
    makeDatabase();
    startDaemon();
    Result station = run({program("stationsim"), "--listen", "8:3"});
    EXPECT_EQ(station.status, 0) << station.err;
    EXPECT_NE(station.out.find("station 8 config push ("), std::string::npos) << station.out;
    EXPECT_NE(station.out.find("\"id\": 8"), std::string::npos) << station.out;
}

TEST_F(CallrelaydTest, MissingDatabaseIsCreatedEmptyAndNothingIsPushed) {
    TcpListener stationConfig(stationIp(3), CONFIG_PORT);
    Process& daemon = startDaemon();
    Socket station = connectStation(3);
    station.sendAll(event(3, 3));
    ASSERT_TRUE(daemon.waitForErr("]Unable to load config\n"));
    std::vector<std::string> expected = {"Child started", "Sending config",
                                         "Can't prepare statementno such table: v_sendtostation",
                                         "Unable to load config"};
    EXPECT_EQ(childLines(0), expected);
    EXPECT_FALSE(stationConfig.accept(200ms));
    auto warning = syslog_->find("]Unable to load config");
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->priority, LOG_DAEMON_FACILITY * 8 + WARNING);
}

TEST_F(CallrelaydTest, UnreachableStationIsLoggedAndItsLaterEventsRelayed) {
    makeDatabase();
    UdpEndpoint cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    Socket station = connectStation(3);
    station.sendAll(event(3, 3));
    station.sendAll(event(3, 4));
    auto datagram = cid.receive(5s);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", 2}, {"sid", 3}})));
    std::vector<std::string> expected = {"Child started", "Sending config",
                                         "Unable to connect-Connection refused",
                                         "Unable to connect to APB", "Ped Call"};
    EXPECT_TRUE(eventually([&] { return childLines(0).size() >= expected.size(); }));
    EXPECT_EQ(childLines(0), expected);
    (void)daemon;
}

// ---- invalid messages ----

Bytes withString(const std::string& name, const std::string& text, const Bytes& rest) {
    Bytes doc(4, 0);
    doc.push_back(0x02);
    doc.insert(doc.end(), name.begin(), name.end());
    doc.push_back(0);
    uint32_t length = static_cast<uint32_t>(text.size() + 1);
    for (int shift = 0; shift < 32; shift += 8) {
        doc.push_back(static_cast<uint8_t>(length >> shift));
    }
    doc.insert(doc.end(), text.begin(), text.end());
    doc.push_back(0);
    doc.insert(doc.end(), rest.begin() + 4, rest.end() - 1);
    return finishDocument(doc);
}

TEST_F(CallrelaydTest, InvalidMessageEndsOnlyItsOwnChild) {
    const std::vector<std::string> decode = {"Error desierializing bson document",
                                             "Invalid event received"};
    const std::vector<std::string> receive = {"Error recieving BSON document",
                                              "Invalid event received"};
    Bytes lyingSize = withString("x", "abc", event(3, 4));
    lyingSize[9] = 0xF0;  // the string claims far more bytes than the document holds
    Bytes truncated = event(3, 4);
    truncated.resize(12);
    const struct {
        const char* name;
        Bytes bytes;
        std::string firstLine;  // a prefix of it; the lines after it are `rest`
        std::vector<std::string> rest;
    } cases[] = {
        {"closes at once", {}, "Error receiving message-", receive},
        {"length 3", {3, 0, 0, 0}, "BSON document too long", receive},
        {"length 1025", {0x01, 0x04, 0, 0}, "BSON document too long", receive},
        {"negative length", {0xFF, 0xFF, 0xFF, 0xFF}, "BSON document too long", receive},
        {"truncated body", truncated, "Received bytes doesn't match indicated length-", receive},
        {"length 4", {4, 0, 0, 0}, decode[0], {decode[1]}},
        {"no sid", intDocument({{"e", 1}}), decode[0], {decode[1]}},
        {"no e", intDocument({{"sid", 2}}), decode[0], {decode[1]}},
        {"sid is a string",
         withString("sid", "3", intDocument({{"e", 1}})),
         decode[0],
         {decode[1]}},
        {"e is a string", withString("e", "1", intDocument({{"sid", 3}})), decode[0], {decode[1]}},
        {"sid 17", event(17, 1), decode[0], {decode[1]}},
        {"e 6", event(3, 6), decode[0], {decode[1]}},
        {"negative sid", event(-1, 1), decode[0], {decode[1]}},
        {"negative e", event(3, -1), decode[0], {decode[1]}},
        {"lying element size", lyingSize, decode[0], {decode[1]}},
    };
    UdpEndpoint cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    Socket keeper = connectStation(1);
    keeper.sendAll(event(1, 1));
    ASSERT_TRUE(cid.receive(2s));
    size_t child = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Socket bad = connectStation(7);
        if (!c.bytes.empty()) {
            bad.sendAll(c.bytes);
        }
        shutdown(bad.fd(), SHUT_WR);
        EXPECT_TRUE(bad.waitClosed(2s)) << "the child ends";
        ASSERT_TRUE(eventually([&] { return childLines(child).size() >= 2 + c.rest.size(); }));
        std::vector<std::string> lines = childLines(child);
        ASSERT_EQ(lines.size(), 2 + c.rest.size()) << daemon.err();
        EXPECT_EQ(lines[0], "Child started");
        EXPECT_EQ(lines[1].rfind(c.firstLine, 0), 0u) << lines[1];
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), c.rest);
        ++child;
        // The station that behaves is still served.
        keeper.sendAll(event(1, 2));
        auto datagram = cid.receive(2s);
        ASSERT_TRUE(datagram);
        EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", 9}, {"sid", 1}})));
    }
    auto invalid = syslog_->find("]Invalid event received");
    ASSERT_TRUE(invalid);
    EXPECT_EQ(invalid->priority, LOG_DAEMON_FACILITY * 8 + ERR);
}

// ---- start-up ----

TEST_F(CallrelaydTest, SecondInstanceCannotBindAndExits255) {
    Process& first = startDaemon();
    Result second = run({program("callrelayd")}, "", 5s);
    EXPECT_EQ(second.status, 255);
    std::regex expected(
        R"(^\[(\d+);\d+\]starting\n\[\1;\d+\]Error binding socket-Address already in use\n)"
        R"(\[\1;\d+\]Error initializing communication\n$)");
    EXPECT_TRUE(std::regex_match(second.err, expected)) << second.err;
    auto bindLine = syslog_->find("]Error binding socket-Address already in use");
    ASSERT_TRUE(bindLine);
    EXPECT_EQ(bindLine->priority, LOG_DAEMON_FACILITY * 8 + WARNING);
    auto initLine = syslog_->find("]Error initializing communication");
    ASSERT_TRUE(initLine);
    EXPECT_EQ(initLine->priority, LOG_DAEMON_FACILITY * 8 + ERR);
    EXPECT_TRUE(first.running()) << "the first instance keeps serving";
}

TEST_F(CallrelaydTest, ChildSecondsCountFromTheDaemonsStart) {
    Process& daemon = startDaemon();
    std::this_thread::sleep_for(2100ms);
    Socket station = connectStation(4);
    ASSERT_TRUE(daemon.waitForErr("]Child started\n"));
    std::regex started(R"(\[\d+;(\d+)\]Child started)");
    std::smatch match;
    std::string err = daemon.err();
    ASSERT_TRUE(std::regex_search(err, match, started));
    EXPECT_GE(std::stoi(match[1]), 2);
}

// ---- load and churn ----

TEST_F(CallrelaydTest, SeventeenStationsAtFullSpeedLoseAndReorderNothing) {
    constexpr int STATIONS = 17;
    constexpr int EVENTS = 1000;
    makeDatabase();
    UdpEndpoint cid("127.0.0.1", 5000);
    int big = 64 << 20;
    ASSERT_EQ(setsockopt(cid.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big), 0);

    // Per station: the event types, and the commands they must become.
    const int32_t commandOf[] = {0, 8, 9, 0, 2, 3};
    std::vector<std::vector<int32_t>> types(STATIONS);
    std::vector<std::vector<int32_t>> expected(STATIONS);
    std::vector<int> configRequests(STATIONS, 0);
    int zeros = 0;
    std::mt19937 random(17);
    for (int s = 0; s < STATIONS; ++s) {
        for (int i = 0; i < EVENTS; ++i) {
            // Mostly commands, some type 0, a configuration request now and then.
            int32_t type = static_cast<int32_t>(random() % 100);
            type = type < 2    ? 3
                   : type < 10 ? 0
                               : 1 + static_cast<int32_t>(type % 4) + (type % 4 >= 2);
            types[s].push_back(type);
            if (commandOf[type] != 0) {
                expected[s].push_back(commandOf[type]);
            } else if (type == 0) {
                ++zeros;
            } else {
                ++configRequests[s];
            }
        }
    }
    std::vector<std::unique_ptr<TcpListener>> configListeners;
    for (int s = 0; s < STATIONS; ++s) {
        configListeners.push_back(std::make_unique<TcpListener>(stationIp(s), CONFIG_PORT));
    }
    std::atomic<int> pushes{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> acceptors;
    for (int s = 0; s < STATIONS; ++s) {
        acceptors.emplace_back([&, s] {
            while (!done) {
                if (auto push = configListeners[s]->accept(50ms)) {
                    if (push->waitClosed(5s)) {
                        ++pushes;
                    }
                }
            }
        });
    }

    Process& daemon = startDaemon();
    std::vector<Socket> connections;
    for (int s = 0; s < STATIONS; ++s) {
        connections.push_back(connectStation(s));
    }
    std::vector<std::thread> senders;
    for (int s = 0; s < STATIONS; ++s) {
        senders.emplace_back([&, s] {
            for (int32_t type : types[s]) {
                connections[s].sendAll(event(s, type));
            }
        });
    }

    size_t total = 0;
    for (const auto& list : expected) {
        total += list.size();
    }
    std::vector<std::vector<int32_t>> received(STATIONS);
    std::vector<std::string> strays;
    size_t count = 0;
    while (count < total) {
        auto datagram = cid.receive(10s);
        if (!datagram) {
            break;
        }
        std::vector<Element> elements = elementsOf(*datagram);
        if (datagram->size() != 21 || elements.size() != 2 || elements[0].name != "t" ||
            elements[1].name != "sid" || elements[1].value < 0 || elements[1].value >= STATIONS) {
            strays.push_back(hex(*datagram));
            continue;
        }
        received[elements[1].value].push_back(elements[0].value);
        ++count;
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_FALSE(cid.receive(300ms)) << "more datagrams than events";
    EXPECT_TRUE(strays.empty()) << strays.size() << " stray datagrams, first " << strays[0];
    for (int s = 0; s < STATIONS; ++s) {
        EXPECT_EQ(received[s], expected[s]) << "station " << s;
    }
    int requests = 0;
    for (int station : configuredStations()) {
        requests += configRequests[station];
    }
    EXPECT_TRUE(eventually([&] { return pushes == requests; }, 10s))
        << pushes << " of " << requests << " pushes";
    done = true;
    for (std::thread& acceptor : acceptors) {
        acceptor.join();
    }
    std::string tabZero;
    for (int i = 0; i < zeros; ++i) {
        tabZero += "\t0\n";
    }
    EXPECT_TRUE(eventually([&] { return daemon.out().size() >= tabZero.size(); }));
    EXPECT_EQ(daemon.out(), tabZero);
    EXPECT_EQ(daemon.err().find("Problem sending"), std::string::npos);
}

TEST_F(CallrelaydTest, ChurnLeavesNoZombiesAndNoDescriptors) {
    const std::string started = "]Child started\n";
    Process& daemon = startDaemon();
    ASSERT_TRUE(syslog_->find("]starting"));
    int before = descriptorCount(daemon.pid());
    constexpr int BURSTS = 40;
    constexpr int BURST = 50;
    size_t opened = 0;
    for (int burst = 0; burst < BURSTS; ++burst) {
        std::vector<Socket> open;
        for (int i = 0; i < BURST; ++i) {
            // A connection beyond the backlog of 4 would wait a second for the SYN to be sent
            // again, so a few at most wait for their accept.
            ASSERT_TRUE(
                eventually([&] { return occurrences(daemon.err(), started) + 3 >= opened; }));
            open.push_back(connectStation((burst + i) % 17));
            ++opened;
            if (i % 5 == 0) {
                open.back().sendAll(event((burst + i) % 17, 0));
            }
        }
        open.clear();  // all of the burst closes together
    }
    std::map<pid_t, char> left;
    EXPECT_TRUE(eventually([&] { return (left = childrenOf(daemon.pid())).empty(); }, 30s));
    for (const auto& [pid, state] : left) {
        ADD_FAILURE() << "child " << pid << " left in state " << state;
    }
    EXPECT_EQ(descriptorCount(daemon.pid()), before);
    EXPECT_TRUE(daemon.running());
    // SIGCHLD arrives while the parent waits in accept, which resumes rather than fails.
    EXPECT_EQ(daemon.err().find("Error accepting connection"), std::string::npos);
    EXPECT_EQ(childPids(daemon.err()).size(), static_cast<size_t>(BURSTS * BURST));
}

// ---- crowds and stalls ----

// A connection from `localIp` whose connect is begun but not waited for.
Socket beginConnect(const std::string& localIp) {
    Socket sock(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, localIp.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(RELAY_PORT);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
        (connect(sock.fd(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) < 0 &&
         errno != EINPROGRESS)) {
        throw std::runtime_error("cannot begin a connection from " + localIp);
    }
    return sock;
}

// Waits until every connection begun is established; false when one fails or time runs out.
bool allConnected(const std::vector<Socket>& sockets, Millis limit) {
    std::vector<pollfd> waiting;
    for (const Socket& sock : sockets) {
        waiting.push_back({sock.fd(), POLLOUT, 0});
    }
    auto deadline = Clock::now() + limit;
    while (!waiting.empty()) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0 || poll(waiting.data(), waiting.size(), static_cast<int>(left)) < 0) {
            return false;
        }
        for (size_t i = waiting.size(); i-- > 0;) {
            if (waiting[i].revents == 0) {
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(waiting[i].fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                return false;
            }
            waiting.erase(waiting.begin() + static_cast<long>(i));
        }
    }
    return true;
}

// One press by each station: the event types cycle with `round`. True when every station's
// command reached the CID within `limit`, each as one datagram for that station.
bool everyStationRelayed(std::vector<Socket>& stations, UdpEndpoint& cid, int round,
                         Millis limit = 1s) {
    const int32_t types[] = {1, 4, 2, 5};
    const int32_t commands[] = {8, 2, 9, 3};
    std::map<int32_t, int32_t> expected;
    for (int s = 0; s < static_cast<int>(stations.size()); ++s) {
        stations[s].sendAll(event(s, types[(round + s) % 4]));
        expected[s] = commands[(round + s) % 4];
    }
    std::map<int32_t, int32_t> received;
    for (size_t i = 0; i < stations.size(); ++i) {
        auto datagram = cid.receive(limit);
        if (!datagram) {
            ADD_FAILURE() << "round " << round << ": " << received.size() << " of "
                          << stations.size() << " stations relayed";
            return false;
        }
        std::vector<Element> elements = elementsOf(*datagram);
        if (elements.size() != 2 || received.count(elements[1].value) != 0) {
            ADD_FAILURE() << "round " << round << ": stray datagram " << hex(*datagram);
            return false;
        }
        received[elements[1].value] = elements[0].value;
    }
    EXPECT_EQ(received, expected) << "round " << round;
    return received == expected;
}

TEST_F(CallrelaydTest, TwoHundredConnectionsAtOnceLeaveEveryOtherStationServed) {
    constexpr int STATIONS = 17;
    constexpr int CROWD = 200;
    // Each end of every connection is a descriptor of this process.
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GE(files.rlim_cur, 2u * (STATIONS + CROWD)) << "too few descriptors for the test";

    UdpEndpoint cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    int before = descriptorCount(daemon.pid());
    std::vector<Socket> stations;
    for (int s = 0; s < STATIONS; ++s) {
        stations.push_back(connectStation(s));
    }
    int round = 0;
    ASSERT_TRUE(everyStationRelayed(stations, cid, round++));

    // A crowd of 200 held open together: from every station's address and from addresses no
    // station has; silent, stuck inside a message, or after an event of type 0. It comes in as
    // fast as the listen backlog of 4 lets it (a connection beyond it waits a second or more
    // for the kernel to try again), and the stations press all the while.
    const std::string childStarted = "]Child started\n";
    std::vector<Socket> crowd;
    for (int i = 0; i < CROWD; ++i) {
        ASSERT_TRUE(eventually([&] {
            return occurrences(daemon.err(), childStarted) + 3 >= STATIONS + crowd.size();
        }));
        crowd.push_back(beginConnect(i % 2 ? stationIp(i % STATIONS)
                                           : "127.0.0." + std::to_string(2 + i % 100)));
        if (i % 10 == 9) {
            ASSERT_TRUE(allConnected(crowd, 5s));
            ASSERT_TRUE(everyStationRelayed(stations, cid, round++));
        }
    }
    ASSERT_TRUE(eventually([&] {
        return occurrences(daemon.err(), childStarted) == STATIONS + CROWD;
    })) << occurrences(daemon.err(), childStarted)
        << " children";
    for (int i = 0; i < CROWD; ++i) {
        Bytes partial = event(i % STATIONS, 0);
        partial.resize(i % 4 == 0 ? 0 : i % 4 == 1 ? 2 : i % 4 == 2 ? 9 : partial.size());
        crowd[i].sendAll(partial);
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(everyStationRelayed(stations, cid, round++));
    }
    // Every connection has its own child, alive and waiting; the type-0 events were seen.
    EXPECT_EQ(childrenOf(daemon.pid()).size(), static_cast<size_t>(STATIONS + CROWD));
    EXPECT_TRUE(eventually([&] { return daemon.out().size() == 3u * (CROWD / 4); }));
    EXPECT_EQ(occurrences(daemon.out(), "\t0\n"), static_cast<size_t>(CROWD / 4));

    // The crowd leaves: its children end, the stations' stay and still relay.
    crowd.clear();
    EXPECT_TRUE(eventually(
        [&] { return childrenOf(daemon.pid()).size() == static_cast<size_t>(STATIONS); }, 20s));
    EXPECT_TRUE(everyStationRelayed(stations, cid, round++));
    EXPECT_EQ(descriptorCount(daemon.pid()), before);

    // 200 connects begun in the same instant: most wait in the kernel for the backlog, and the
    // stations already connected are served at once all the while.
    for (int i = 0; i < CROWD; ++i) {
        crowd.push_back(beginConnect("127.0.1." + std::to_string(1 + i)));
    }
    auto burst = Clock::now();
    while (Clock::now() - burst < 3s) {
        ASSERT_TRUE(everyStationRelayed(stations, cid, round++, 500ms));
    }
    EXPECT_GT(childrenOf(daemon.pid()).size(), static_cast<size_t>(STATIONS));
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(daemon.err().find("Error accepting connection"), std::string::npos);
}

TEST_F(CallrelaydTest, StationStalledInsideALengthPrefixHoldsUpNoOtherStation) {
    UdpEndpoint cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    Socket stalled = connectStation(5);
    Bytes press = event(5, 1);
    stalled.sendAll(Bytes(press.begin(), press.begin() + 2));
    ASSERT_EQ(childLines(0), std::vector<std::string>{"Child started"});

    // Every station, the stalled one's address again among them, is served at once.
    std::vector<Socket> stations;
    for (int s = 0; s < 17; ++s) {
        stations.push_back(connectStation(s));
    }
    auto sent = Clock::now();
    for (int s = 0; s < 17; ++s) {
        stations[s].sendAll(event(s, 4));
    }
    std::set<int32_t> served;
    for (int s = 0; s < 17; ++s) {
        auto datagram = cid.receive(2s);
        ASSERT_TRUE(datagram) << served.size() << " stations served";
        std::vector<Element> elements = elementsOf(*datagram);
        ASSERT_EQ(elements.size(), 2u);
        EXPECT_EQ(elements[0].value, 2);
        served.insert(elements[1].value);
    }
    EXPECT_EQ(served.size(), 17u);
    EXPECT_LT(Clock::now() - sent, 1s);

    // The stalled child is still waiting for the rest of its message, which it then relays.
    EXPECT_EQ(childLines(0), std::vector<std::string>{"Child started"});
    stalled.sendAll(Bytes(press.begin() + 2, press.end()));
    auto datagram = cid.receive(2s);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", 8}, {"sid", 5}})));
    EXPECT_TRUE(daemon.running());
}

// ---- the CID simulator, which the other programs' tests rely on ----

class CidSimTest : public SystemTest {
  protected:
    std::optional<Bytes> command(const Bytes& request, Millis limit = 1500ms) {
        UdpEndpoint client("127.0.0.1", 40001);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(5000);
        to.sin_addr.s_addr = htonl(0x7F000001);
        sendto(client.fd(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
        return client.receive(limit);
    }
    std::optional<Bytes> query(Millis limit = 1500ms) {
        return command(intDocument({{"t", 1}}), limit);
    }
    std::map<std::string, int32_t> status() {
        std::map<std::string, int32_t> keys;
        if (auto reply = query()) {
            for (const Element& element : elementsOf(*reply)) {
                keys[element.name] = element.value;
            }
        }
        return keys;
    }
};

TEST_F(CidSimTest, CallLatchesUntilItsPhaseWalksThenClears) {
    Process cidsim({program("cidsim"), "--tick-ms", "100", "--walk", "3", "--clearance", "3"});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    EXPECT_FALSE(command(intDocument({{"t", 2}, {"sid", 11}}), 0ms))
        << "only the query is answered";
    // Station 11 calls phase 3: walk, then clearance, then don't walk, the call gone.
    std::vector<std::string> seen;
    auto deadline = Clock::now() + 3s;
    while (Clock::now() < deadline && (seen.size() < 3 || seen.back() != "dont walk")) {
        std::map<std::string, int32_t> keys = status();
        const int32_t bit = 1 << 2;
        std::string state = keys["w"] & bit ? "walk" : keys["pc"] & bit ? "clearance" : "dont walk";
        if (state == "dont walk" && seen.empty()) {
            EXPECT_EQ(keys["pcall"], bit) << "latched until served";
            std::this_thread::sleep_for(10ms);
            continue;
        }
        if (seen.empty() || seen.back() != state) {
            seen.push_back(state);
            EXPECT_EQ(keys["pcall"], 0) << "the call is served once its walk begins";
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"walk", "clearance", "dont walk"}));
    EXPECT_TRUE(cidsim.waitForOut("ped_call t=2 sid=11 (21 bytes)\n"));
}

TEST_F(CallrelaydTest, RandomTrafficOfTheStationSimulatorReachesTheCidSimulator) {
    Process cidsim({program("cidsim")});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    startDaemon();
    Result stations =
        run({program("stationsim"), "--random", "3", "--mean-ms", "5", "--seed", "7", "1", "2"});
    EXPECT_EQ(stations.status, 0) << stations.err;
    // Three pedestrians at each of two stations: down, a call, up.
    EXPECT_TRUE(eventually([&] { return occurrences(cidsim.out(), " (21 bytes)\n") == 18; }))
        << cidsim.out();
    EXPECT_EQ(occurrences(cidsim.out(), "button_down t=8 sid=1 "), 3u);
    EXPECT_EQ(occurrences(cidsim.out(), "button_up t=9 sid=2 "), 3u);
}

TEST_F(CidSimTest, StatusCarriesEveryKeyWithItsType) {
    Process cidsim({program("cidsim")});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    auto status = query();
    ASSERT_TRUE(status);
    uint32_t length = 0;
    memcpy(&length, status->data(), 4);
    EXPECT_EQ(length, status->size());
    std::map<std::string, uint8_t> types;
    for (const Element& element : elementsOf(*status)) {
        types[element.name] = element.type;
    }
    for (const char* key :
         {"w", "dw", "pc", "pcall", "apscall", "papscall", "vokcall", "sr", "sg", "sp"}) {
        EXPECT_EQ(types[key], 0x10) << key;
    }
    EXPECT_EQ(types["counts"], 0x03);
    EXPECT_TRUE(cidsim.waitForOut("status_query t=1 (12 bytes) -> status"));
}

TEST_F(CidSimTest, MisbehavesOnRequest) {
    const struct {
        std::vector<std::string> options;
        std::function<void(const std::optional<Bytes>&)> check;
    } cases[] = {
        {{"--silent"}, [](const auto& reply) { EXPECT_FALSE(reply); }},
        {{"--oversize"},
         [](const auto& reply) {
             ASSERT_TRUE(reply);
             EXPECT_EQ(reply->size(), 1100u);
         }},
        {{"--omit", "sg"},
         [](const auto& reply) {
             ASSERT_TRUE(reply);
             for (const Element& element : elementsOf(*reply)) {
                 EXPECT_NE(element.name, "sg");
             }
             EXPECT_EQ(elementsOf(*reply).size(), 10u);
         }},
        {{"--wrong-type", "pcall", "--wrong-type", "counts"},
         [](const auto& reply) {
             ASSERT_TRUE(reply);
             for (const Element& element : elementsOf(*reply)) {
                 if (element.name == "pcall") {
                     EXPECT_EQ(element.type, 0x01);
                 }
                 if (element.name == "counts") {
                     EXPECT_EQ(element.type, 0x10);
                 }
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0]);
        std::vector<std::string> argv{program("cidsim")};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        Process cidsim(argv);
        ASSERT_TRUE(cidsim.waitForOut("listening"));
        c.check(query(300ms));
        cidsim.stop(SIGKILL);
    }
}

}  // namespace
}  // namespace systest
