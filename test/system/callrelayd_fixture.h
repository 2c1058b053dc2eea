// The callrelayd whole-program tests' common ground: the real binary started in the test's
// private namespaces, its CID, stations and syslog played by the test, and the checks that
// every test of it makes of its log on the way out.
#pragma once

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
    if (doc.size() < 5 || doc.back() != 0) {
        return {};
    }
    auto int32At = [&](size_t offset) {
        int32_t value = 0;
        memcpy(&value, doc.data() + offset, 4);
        return value;
    };
    std::vector<Element> elements;
    for (size_t at = 4; at < doc.size() - 1;) {
        auto nameEnd = std::find(doc.begin() + static_cast<long>(at) + 1, doc.end(), 0);
        size_t value = static_cast<size_t>(nameEnd - doc.begin()) + 1;
        Element element{doc[at], std::string(doc.begin() + static_cast<long>(at) + 1, nameEnd), 0};
        const uint8_t type = element.type;
        size_t size = type == 0x10 ? 4 : type == 0x01 ? 8 : type == 0x0A ? 0 : SIZE_MAX;
        if ((type == 0x02 || type == 0x03) && value + 4 <= doc.size()) {
            size = static_cast<uint32_t>(int32At(value)) + (type == 0x02 ? 4u : 0u);
        }
        if (value >= doc.size() || size > doc.size() - 1 - value) {
            return {};
        }
        element.value = type == 0x10 ? int32At(value) : 0;
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
    // Appended, not "[" + ...: GCC 12 at -O3 for 32-bit ARM warns falsely on that form.
    std::string prefix = "[";
    prefix += std::to_string(pid) + ";";
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

// The sockets that process `pid` holds: what the daemon owns, the same natively and when an
// emulator, with descriptors of its own, runs it.
[[maybe_unused]] int socketCount(pid_t pid) {
    int count = 0;
    std::string directory = "/proc/" + std::to_string(pid) + "/fd/";
    DIR* listing = opendir(directory.c_str());
    while (dirent* entry = readdir(listing)) {
        char target[64];
        ssize_t n = readlink((directory + entry->d_name).c_str(), target, sizeof target);
        count += n > 7 && memcmp(target, "socket:", 7) == 0;
    }
    closedir(listing);
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
    void setUpInside() override {
        syslog_ = std::make_unique<SyslogCapture>();
        mountTmpfs("/var/lib/vok");
    }

    void TearDown() override {
        if (daemon_) {
            // A sanitizer report of the daemon or of one of its children fails the test.
            std::string err = daemon_->err();
            EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
            EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
            if (!syslogMayDrop_) {
                expectEveryLineInSyslog(err);
            }
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
            {"Can't read config", WARNING, true},  // SQLite's message follows the "-"
            {"Station disconnected", INFO, false},
            {"Station reconnected", INFO, false},
            {"Error forking child", ERR, true},
            {"Error setting keepalive", WARNING, true},
            {"CID refused a command; holding commands until it takes them", WARNING, false},
        };
        const std::regex warnings(
            R"(Refused connection from [\d.]+, not a station( \(\d+ more since the last line\))?|)"
            R"(Event of station \d+ on the connection of station \d+ skipped|)"
            R"(\d+ log lines dropped|\d+ held commands dropped)");
        const std::regex infos(R"(Delivered \d+ held commands to CID after \d+\.\d s)");
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
            if ((text.rfind(prepare, 0) == 0 && text.size() > prepare.size()) ||
                std::regex_match(text, warnings)) {
                level = WARNING;
            }
            if (std::regex_match(text, infos)) {
                level = INFO;
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

    // The daemon, or `argv` when something has to run it (a shell or a tool that sets it up).
    Process& startDaemon(const std::vector<std::string>& argv = {program("callrelayd")}) {
        daemon_ = std::make_unique<Process>(argv);
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
    bool syslogMayDrop_ = false;  // a test that stalls syslog: lines may be on standard error only
};

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

// How many of `sockets` their peer has closed.
size_t closedByPeer(const std::vector<Socket>& sockets) {
    return static_cast<size_t>(std::count_if(sockets.begin(), sockets.end(), [](const Socket& s) {
        pollfd entry{s.fd(), POLLRDHUP, 0};
        return poll(&entry, 1, 0) > 0;
    }));
}

// One press by each station: the event types cycle with `round`. True when every station's
// command reached the CID within `limit`, each as one datagram for that station.
bool everyStationRelayed(std::vector<Socket>& stations, UdpPeer& cid, int round,
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

}  // namespace
}  // namespace systest
