// stationsim: plays pedestrian push-button stations towards callrelayd. Each station connects
// to 127.0.0.1:50005 from its own address 192.168.0.(10 + n), sends its events, and may listen
// on 192.168.0.(10 + n):50006 for the configuration that callrelayd pushes back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bson.h"

namespace {

const char* USAGE =
    "Usage: stationsim [options] STATION[:EVENTS] ...\n"
    "Plays APB stations (STATION 0..16). Each connects to callrelayd at 127.0.0.1:50005 from\n"
    "192.168.0.(10+STATION) and sends the events of its EVENTS list, comma-separated, in order:\n"
    "  0..5       the event {\"sid\": STATION, \"e\": TYPE}: 0 none, 1 button down, 2 button up,\n"
    "             3 configuration request, 4 pedestrian call, 5 APS call\n"
    "  raw:HEX    the bytes HEX as they are (for malformed messages)\n"
    "Every event sent is printed as \"station N sent ...\"; when callrelayd closes a station's\n"
    "connection, \"station N closed by callrelayd\" is printed.\n"
    "\n"
    "Options:\n"
    "  --gap-ms N      pause between two events of a station (default 0)\n"
    "  --random N      pedestrian traffic instead of a list: each station serves N pedestrians,\n"
    "                  each a button down, a pedestrian call (an APS call one time in four) and\n"
    "                  a button up, at random pauses\n"
    "  --mean-ms N     mean pause between two pedestrians in --random mode (default 1000)\n"
    "  --seed N        seed of --random (default 1)\n"
    "  --listen        listen on 192.168.0.(10+STATION):50006 and print every configuration\n"
    "                  document pushed, as \"station N config push (L bytes)\" and indented text;\n"
    "                  the program then waits (5 s at most) until every configuration request\n"
    "                  it sent was answered\n"
    "  --linger-ms N   keep the connections open N ms after the last event (default 0, -1 for\n"
    "                  ever)\n"
    "  --stdin         also send the events of every line of standard input, STATION:EVENTS\n"
    "                  (STATION one of those given), as it comes, and run until the input ends\n"
    "  --quiet         do not print the events sent\n"
    "  --help          this text\n"
    "Exit status: 0, or 1 when a connection could not be made or a push did not arrive.\n";

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t CALLRELAYD_PORT = 50005;
constexpr uint16_t CONFIG_PORT = 50006;

struct Step {
    int delayMs;  // pause before this step
    int type;     // event type, or -1 for raw bytes
    Bytes raw;
};

struct Push {
    int fd;
    Bytes bytes;
};

struct Station {
    int id = 0;
    std::vector<Step> steps;
    size_t next = 0;
    Clock::time_point due;
    int connection = -1;
    int listener = -1;
    std::vector<Push> pushes;
    int requested = 0;
    int received = 0;
};

struct Options {
    int gapMs = 0;
    int randomCount = -1;
    int meanMs = 1000;
    unsigned seed = 1;
    bool listen = false;
    int lingerMs = 0;
    bool quiet = false;
    bool input = false;
};

std::string stationAddress(int id) {
    return "192.168.0." + std::to_string(10 + id);
}

sockaddr_in inet(const std::string& ip, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

Bytes eventDocument(int32_t sid, int32_t type) {
    uint8_t buffer[64];
    bson_builder b;
    bson_init(&b, buffer, sizeof buffer);
    bson_appendInt(&b, "sid", sid);
    bson_appendInt(&b, "e", type);
    bson_finish(&b);
    return Bytes(buffer, buffer + bson_size(&b));
}

bool parseHex(const std::string& text, Bytes& out) {
    if (text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        long value = strtol(pair.c_str(), &end, 16);
        if (*end != '\0') {
            return false;
        }
        out.push_back(static_cast<uint8_t>(value));
    }
    return true;
}

bool parseInt(const char* text, long min, long max, long* out) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

bool parseStation(const std::string& arg, const Options& options, Station& station) {
    size_t colon = arg.find(':');
    long id = 0;
    if (!parseInt(arg.substr(0, colon).c_str(), 0, 16, &id)) {
        return false;
    }
    station.id = static_cast<int>(id);
    if (colon == std::string::npos) {
        return true;
    }
    std::string list = arg.substr(colon + 1) + ",";
    for (size_t start = 0, comma; (comma = list.find(',', start)) != std::string::npos;
         start = comma + 1) {
        std::string token = list.substr(start, comma - start);
        Step step{station.steps.empty() ? 0 : options.gapMs, -1, {}};
        if (token.rfind("raw:", 0) == 0) {
            if (!parseHex(token.substr(4), step.raw)) {
                return false;
            }
        } else {
            long type = 0;
            if (!parseInt(token.c_str(), 0, 5, &type)) {
                return false;
            }
            step.type = static_cast<int>(type);
        }
        station.steps.push_back(step);
    }
    return true;
}

// Pedestrians arriving at random: down, call, up.
void randomTraffic(Station& station, const Options& options, std::mt19937& random) {
    std::exponential_distribution<double> arrival(1.0 / options.meanMs);
    std::uniform_int_distribution<int> hold(50, 400);
    for (int i = 0; i < options.randomCount; ++i) {
        int call = random() % 4 == 0 ? 5 : 4;
        station.steps.push_back({static_cast<int>(arrival(random)), 1, {}});
        station.steps.push_back({hold(random) / 4, call, {}});
        station.steps.push_back({hold(random), 2, {}});
    }
}

int connectStation(int id) {
    sockaddr_in local = inet(stationAddress(id), 0);
    sockaddr_in remote = inet("127.0.0.1", CALLRELAYD_PORT);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
            fprintf(stderr, "stationsim: station %d: cannot bind %s: %s\n", id,
                    stationAddress(id).c_str(), strerror(errno));
            close(fd);
            return -1;
        }
        if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
            return fd;
        }
        int saved = errno;
        close(fd);
        if (Clock::now() >= deadline) {
            fprintf(stderr, "stationsim: station %d: cannot connect to 127.0.0.1:%d: %s\n", id,
                    CALLRELAYD_PORT, strerror(saved));
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int listenStation(int id) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local = inet(stationAddress(id), CONFIG_PORT);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 || listen(fd, 4) < 0) {
        fprintf(stderr, "stationsim: station %d: cannot listen on %s:%d: %s\n", id,
                stationAddress(id).c_str(), CONFIG_PORT, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void printPush(const Station& station, const Bytes& bytes) {
    printf("station %d config push (%zu bytes)\n", station.id, bytes.size());
    if (bson_check(bytes.data(), static_cast<uint32_t>(bytes.size())) == 0 &&
        bson_length(bytes.data()) == bytes.size()) {
        bson_print(stdout, bytes.data());
    } else {
        printf("  not a whole document\n");
    }
    fflush(stdout);
}

void sendStep(Station& station, const Step& step, bool quiet) {
    Bytes bytes = step.type >= 0 ? eventDocument(station.id, step.type) : step.raw;
    ssize_t sent = send(station.connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (step.type == 3) {
        ++station.requested;
    }
    if (quiet) {
        return;
    }
    if (sent != static_cast<ssize_t>(bytes.size())) {
        printf("station %d send failed: %s\n", station.id, strerror(errno));
    } else if (step.type >= 0) {
        printf("station %d sent {\"sid\": %d, \"e\": %d}\n", station.id, station.id, step.type);
    } else {
        printf("station %d sent %zu raw bytes\n", station.id, bytes.size());
    }
    fflush(stdout);
}

// Standard input of --stdin: the part of a line read so far, and whether it is still open.
struct Input {
    std::string line;
    bool open = false;
};

// Appends the events of one input line to its station's steps, due from now on when the station
// had sent all it had. A line that names no station of this run is reported and dropped.
void takeLine(std::vector<Station>& stations, const Options& options, const std::string& line) {
    Station parsed;
    Station* station = nullptr;
    if (parseStation(line, options, parsed)) {
        for (Station& candidate : stations) {
            if (candidate.id == parsed.id) {
                station = &candidate;
            }
        }
    }
    if (station == nullptr) {
        fprintf(stderr, "stationsim: bad input line \"%s\"\n", line.c_str());
        return;
    }
    if (station->next == station->steps.size() && !parsed.steps.empty()) {
        station->due = Clock::now() + std::chrono::milliseconds(parsed.steps[0].delayMs);
    }
    station->steps.insert(station->steps.end(), parsed.steps.begin(), parsed.steps.end());
}

// Reads what standard input holds and takes every whole line of it.
void takeInput(std::vector<Station>& stations, const Options& options, Input& input) {
    char chunk[512];
    ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) {
        input.open = false;
        return;
    }
    input.line.append(chunk, static_cast<size_t>(n));
    for (size_t end; (end = input.line.find('\n')) != std::string::npos;) {
        takeLine(stations, options, input.line.substr(0, end));
        input.line.erase(0, end + 1);
    }
}

// Takes what the stations receive (pushes, closes), and standard input while it is open, until
// `until` or the first readiness.
void serviceSockets(std::vector<Station>& stations, Clock::time_point until, const Options& options,
                    Input& input) {
    std::vector<pollfd> entries;
    std::vector<std::pair<Station*, int>> owners;  // station, -2 connection, -1 listener, k push
    if (input.open) {
        entries.push_back({STDIN_FILENO, POLLIN, 0});
        owners.push_back({nullptr, -3});
    }
    for (Station& station : stations) {
        if (station.connection >= 0) {
            entries.push_back({station.connection, POLLIN, 0});
            owners.push_back({&station, -2});
        }
        if (station.listener >= 0) {
            entries.push_back({station.listener, POLLIN, 0});
            owners.push_back({&station, -1});
        }
        for (size_t k = 0; k < station.pushes.size(); ++k) {
            entries.push_back({station.pushes[k].fd, POLLIN, 0});
            owners.push_back({&station, static_cast<int>(k)});
        }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    int timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    if (poll(entries.data(), entries.size(), timeout) <= 0) {
        return;
    }
    std::vector<std::pair<Station*, int>> finished;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].revents == 0) {
            continue;
        }
        auto [station, which] = owners[i];
        if (which == -3) {
            takeInput(stations, options, input);
        } else if (which == -2) {
            uint8_t scratch[256];
            if (recv(station->connection, scratch, sizeof scratch, 0) <= 0) {
                printf("station %d closed by callrelayd\n", station->id);
                fflush(stdout);
                close(station->connection);
                station->connection = -1;
            }
        } else if (which == -1) {
            int fd = accept(station->listener, nullptr, nullptr);
            if (fd >= 0) {
                station->pushes.push_back({fd, {}});
            }
        } else {
            Push& push = station->pushes[static_cast<size_t>(which)];
            uint8_t chunk[2048];
            ssize_t n = recv(push.fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                push.bytes.insert(push.bytes.end(), chunk, chunk + n);
            } else {
                finished.push_back({station, which});
            }
        }
    }
    // Pushes are removed from the back so that the indices of the others stay valid.
    for (auto it = finished.rbegin(); it != finished.rend(); ++it) {
        Station* station = it->first;
        Push push = station->pushes[static_cast<size_t>(it->second)];
        station->pushes.erase(station->pushes.begin() + it->second);
        close(push.fd);
        printPush(*station, push.bytes);
        ++station->received;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<std::string> stationArgs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        long value = 0;
        bool hasValue = i + 1 < argc;
        if (arg == "--help") {
            fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--listen") {
            options.listen = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--gap-ms" && hasValue && parseInt(argv[++i], 0, 3600000, &value)) {
            options.gapMs = static_cast<int>(value);
        } else if (arg == "--random" && hasValue && parseInt(argv[++i], 0, 10000000, &value)) {
            options.randomCount = static_cast<int>(value);
        } else if (arg == "--mean-ms" && hasValue && parseInt(argv[++i], 1, 3600000, &value)) {
            options.meanMs = static_cast<int>(value);
        } else if (arg == "--seed" && hasValue && parseInt(argv[++i], 0, INT32_MAX, &value)) {
            options.seed = static_cast<unsigned>(value);
        } else if (arg == "--stdin") {
            options.input = true;
        } else if (arg == "--linger-ms" && hasValue && parseInt(argv[++i], -1, 86400000, &value)) {
            options.lingerMs = static_cast<int>(value);
        } else if (arg.rfind("--", 0) != 0) {
            stationArgs.push_back(arg);
        } else {
            fprintf(stderr, "stationsim: bad argument \"%s\"\n\n%s", arg.c_str(), USAGE);
            return 2;
        }
    }
    if (stationArgs.empty()) {
        fprintf(stderr, "stationsim: no station given\n\n%s", USAGE);
        return 2;
    }
    std::vector<Station> stations(stationArgs.size());
    std::mt19937 random(options.seed);
    for (size_t i = 0; i < stationArgs.size(); ++i) {
        if (!parseStation(stationArgs[i], options, stations[i])) {
            fprintf(stderr, "stationsim: bad station \"%s\"\n\n%s", stationArgs[i].c_str(), USAGE);
            return 2;
        }
        if (options.randomCount >= 0) {
            stations[i].steps.clear();
            randomTraffic(stations[i], options, random);
        }
    }
    for (Station& station : stations) {
        if (options.listen && (station.listener = listenStation(station.id)) < 0) {
            return 1;
        }
        if ((station.connection = connectStation(station.id)) < 0) {
            return 1;
        }
    }
    auto now = Clock::now();
    for (Station& station : stations) {
        station.due =
            now + std::chrono::milliseconds(station.steps.empty() ? 0 : station.steps[0].delayMs);
    }
    // Events, each at its time; pushes, closes and input lines are taken as they come.
    Input input;
    input.open = options.input;
    for (;;) {
        Station* nextStation = nullptr;
        for (Station& station : stations) {
            if (station.next < station.steps.size() && station.connection >= 0 &&
                (nextStation == nullptr || station.due < nextStation->due)) {
                nextStation = &station;
            }
        }
        if (nextStation == nullptr && !input.open) {
            break;
        }
        if (nextStation == nullptr || Clock::now() < nextStation->due) {
            serviceSockets(stations,
                           nextStation != nullptr ? nextStation->due
                                                  : Clock::now() + std::chrono::milliseconds(200),
                           options, input);
            continue;
        }
        Station& station = *nextStation;
        sendStep(station, station.steps[station.next], options.quiet);
        if (++station.next < station.steps.size()) {
            station.due += std::chrono::milliseconds(station.steps[station.next].delayMs);
        }
    }
    int status = 0;
    if (options.listen) {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        auto answered = [&] {
            for (const Station& station : stations) {
                if (station.received < station.requested) {
                    return false;
                }
            }
            return true;
        };
        while (!answered() && Clock::now() < deadline) {
            serviceSockets(stations,
                           std::min(deadline, Clock::now() + std::chrono::milliseconds(50)),
                           options, input);
        }
        if (!answered()) {
            fprintf(stderr, "stationsim: a configuration request was not answered\n");
            status = 1;
        }
    }
    if (options.lingerMs != 0) {
        auto end = options.lingerMs < 0
                       ? Clock::time_point::max()
                       : Clock::now() + std::chrono::milliseconds(options.lingerMs);
        while (Clock::now() < end) {
            serviceSockets(stations, std::min(end, Clock::now() + std::chrono::milliseconds(200)),
                           options, input);
        }
    }
    for (Station& station : stations) {
        if (station.connection >= 0) {
            close(station.connection);
        }
        if (station.listener >= 0) {
            close(station.listener);
        }
    }
    return status;
}
