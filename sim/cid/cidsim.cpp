// cidsim: plays the CID on UDP 127.0.0.1:5000 for the cabinet's programs and tests. It logs
// every command datagram as one line on standard output, keeps a small simulated intersection
// and answers the status query with the intersection status document.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "bson.h"
#include "cid.h"

namespace {

const char* USAGE =
    "Usage: cidsim [options]\n"
    "Plays the CID on UDP 127.0.0.1:5000. Every datagram received is logged as one line on\n"
    "standard output:\n"
    "  <command> t=<type> <key>=<value>... (<n> bytes)\n"
    "  e.g. \"ped_call t=2 sid=3 (21 bytes)\"; the status query line ends in\n"
    "  \"-> status <n> bytes\" (or \"-> no answer\"); bytes that are no command document give\n"
    "  \"invalid (<n> bytes) <hex>\".\n"
    "Commands: 1 status_query, 2 ped_call, 3 aps_call, 4 vok_call, 5 apb_status_report,\n"
    "6 mii_reset, 7 reload_config, 8 button_down, 9 button_up, 10 save_apb_log.\n"
    "\n"
    "The simulated intersection: eight phases, each showing don't walk, walk or clearance.\n"
    "Pedestrian, APS and vok calls (by phase mask \"c\", or by station \"sid\": station n >= 1\n"
    "calls phase (n-1)%8+1, station 0 every phase) latch until their phase is served. One\n"
    "phase is served at a time, round robin: walk, then clearance, then don't walk. Button\n"
    "down/up of station n sets/clears its bit in \"sp\" and marks it good; an APB status\n"
    "report sets the bad (\"sr\" := r) and good (\"sg\" := g) station masks. \"counts\" holds\n"
    "the calls received per phase.\n"
    "\n"
    "Options:\n"
    "  --tick-ms N       length of one controller step in milliseconds (default 1000)\n"
    "  --walk N          steps of walk (default 4)\n"
    "  --clearance N     steps of clearance (default 3)\n"
    "  --good MASK       stations in the good state at start (default 0xFFFF)\n"
    "  --bad MASK        stations in the bad state at start (default 0)\n"
    "  --quiet           log nothing\n"
    "Misbehaviour, for tests of the clients:\n"
    "  --silent          never answer the status query\n"
    "  --oversize        answer with a 1100-byte document (more than a client's 1024 bytes)\n"
    "  --omit KEY        leave KEY out of the status document (repeatable)\n"
    "  --wrong-type KEY  send KEY with another type: a double, or an int32 for \"counts\"\n"
    "                    (repeatable)\n"
    "  --help            this text\n";

constexpr int PHASES = 8;
constexpr size_t REPLY_CAPACITY = 2048;

struct Options {
    int tickMs = 1000;
    int walkSteps = 4;
    int clearanceSteps = 3;
    uint32_t good = 0xFFFF;
    uint32_t bad = 0;
    bool quiet = false;
    bool silent = false;
    bool oversize = false;
    std::set<std::string> omit;
    std::set<std::string> wrongType;
};

enum PhaseState { DONT_WALK, WALK, CLEARANCE };

struct Intersection {
    PhaseState state[PHASES] = {};
    int stepsLeft = 0;  // of the phase being served
    int served = -1;    // phase being served, -1 for none
    int nextCandidate = 0;
    uint8_t pcall = 0;
    uint8_t apscall = 0;
    uint8_t papscall = 0;
    uint8_t vokcall = 0;
    uint16_t good = 0;
    uint16_t bad = 0;
    uint16_t pressed = 0;
    int32_t counts[PHASES] = {};
};

uint8_t phaseMask(int state, const Intersection& x) {
    uint8_t mask = 0;
    for (int p = 0; p < PHASES; ++p) {
        if (x.state[p] == state) {
            mask |= static_cast<uint8_t>(1u << p);
        }
    }
    return mask;
}

// One controller step: the served phase runs its walk and clearance; when none is served the
// next phase with a latched call starts its walk and its calls are answered.
void step(Intersection& x, const Options& options) {
    if (x.served >= 0) {
        if (--x.stepsLeft > 0) {
            return;
        }
        if (x.state[x.served] == WALK) {
            x.state[x.served] = CLEARANCE;
            x.stepsLeft = options.clearanceSteps;
            return;
        }
        x.state[x.served] = DONT_WALK;
        x.served = -1;
    }
    uint8_t calls = x.pcall | x.apscall | x.papscall | x.vokcall;
    for (int i = 0; i < PHASES; ++i) {
        int p = (x.nextCandidate + i) % PHASES;
        if (calls & (1u << p)) {
            uint8_t keep = static_cast<uint8_t>(~(1u << p));
            x.pcall &= keep;
            x.apscall &= keep;
            x.papscall &= keep;
            x.vokcall &= keep;
            x.state[p] = WALK;
            x.served = p;
            x.stepsLeft = options.walkSteps;
            x.nextCandidate = (p + 1) % PHASES;
            return;
        }
    }
}

uint8_t phasesOfStation(int32_t sid) {
    if (sid == 0) {
        return 0xFF;
    }
    return static_cast<uint8_t>(1u << ((sid - 1) % PHASES));
}

void placeCall(Intersection& x, uint8_t& calls, uint8_t phases) {
    calls |= phases;
    for (int p = 0; p < PHASES; ++p) {
        if (phases & (1u << p)) {
            ++x.counts[p];
        }
    }
}

bool intOf(const uint8_t* doc, const char* name, int32_t* value) {
    return bson_getInt(bson_find(doc, name), value) == 0;
}

// The phases a call command names: its "c" mask, else its station's phase.
bool callPhases(const uint8_t* doc, uint8_t* phases) {
    int32_t value = 0;
    if (intOf(doc, "c", &value)) {
        *phases = static_cast<uint8_t>(value);
        return true;
    }
    if (intOf(doc, "sid", &value) && value >= 0 && value <= 16) {
        *phases = phasesOfStation(value);
        return true;
    }
    return false;
}

void stationState(Intersection& x, int32_t sid, bool down) {
    if (sid < 1 || sid > 16) {
        return;
    }
    uint16_t bit = static_cast<uint16_t>(1u << (sid - 1));
    x.good |= bit;
    x.bad &= static_cast<uint16_t>(~bit);
    if (down) {
        x.pressed |= bit;
    } else {
        x.pressed &= static_cast<uint16_t>(~bit);
    }
}

void apply(Intersection& x, int32_t type, const uint8_t* doc) {
    uint8_t phases = 0;
    int32_t value = 0;
    switch (type) {
        case CID_PED_CALL:
            if (callPhases(doc, &phases)) {
                placeCall(x, x.pcall, phases);
            }
            break;
        case CID_APS_CALL:
            if (callPhases(doc, &phases)) {
                placeCall(x, x.apscall, phases);
                x.papscall |= phases;
            }
            break;
        case CID_VOK_CALL:
            if (callPhases(doc, &phases)) {
                placeCall(x, x.vokcall, phases);
            }
            break;
        case CID_APB_STATUS_REPORT:
            if (intOf(doc, "r", &value)) {
                x.bad = static_cast<uint16_t>(value);
            }
            if (intOf(doc, "g", &value)) {
                x.good = static_cast<uint16_t>(value);
            }
            break;
        case CID_BUTTON_DOWN:
        case CID_BUTTON_UP:
            if (intOf(doc, "sid", &value)) {
                stationState(x, value, type == CID_BUTTON_DOWN);
            }
            break;
        default:
            break;
    }
}

const char* commandName(int32_t type) {
    static const char* const names[] = {
        "unknown",     "status_query",      "ped_call",     "aps_call",
        "vok_call",    "apb_status_report", "mii_reset",    "reload_config",
        "button_down", "button_up",         "save_apb_log",
    };
    return type >= 1 && type <= 10 ? names[type] : names[0];
}

// Appends an int32 key, or the misbehaviour that the options ask for.
void appendKey(bson_builder* b, const Options& options, const char* name, int32_t value) {
    if (options.omit.count(name)) {
        return;
    }
    if (options.wrongType.count(name)) {
        bson_appendDouble(b, name, value);
    } else {
        bson_appendInt(b, name, value);
    }
}

int buildStatus(const Intersection& x, const Options& options, uint8_t* buffer, uint32_t capacity) {
    bson_builder b;
    bson_init(&b, buffer, capacity);
    appendKey(&b, options, "w", phaseMask(WALK, x));
    appendKey(&b, options, "dw", phaseMask(DONT_WALK, x));
    appendKey(&b, options, "pc", phaseMask(CLEARANCE, x));
    appendKey(&b, options, "pcall", x.pcall);
    appendKey(&b, options, "apscall", x.apscall);
    appendKey(&b, options, "papscall", x.papscall);
    appendKey(&b, options, "vokcall", x.vokcall);
    appendKey(&b, options, "sr", x.bad);
    appendKey(&b, options, "sg", x.good);
    appendKey(&b, options, "sp", x.pressed);
    if (options.wrongType.count("counts")) {
        bson_appendInt(&b, "counts", 0);
    } else if (!options.omit.count("counts")) {
        bson_beginDocument(&b, "counts");
        for (int p = 0; p < PHASES; ++p) {
            bson_appendInt(&b, std::to_string(p).c_str(), x.counts[p]);
        }
        bson_endDocument(&b);
    }
    if (options.oversize) {
        // Pads the document to 1100 bytes: "pad" costs 1 + 4 + 4 + 1 bytes around its text.
        int32_t used = static_cast<int32_t>(b.length) + 1;
        std::string pad(static_cast<size_t>(1100 - used - 10), 'x');
        bson_appendString(&b, "pad", pad.c_str());
    }
    if (bson_finish(&b) != 1) {
        return -1;
    }
    return bson_size(&b);
}

std::string describe(const uint8_t* doc) {
    std::string text;
    for (const uint8_t* e = bson_firstElement(doc); e != nullptr; e = bson_nextElement(e)) {
        int32_t value = 0;
        text += ' ';
        text += reinterpret_cast<const char*>(e + 1);
        text += '=';
        text += bson_getInt(e, &value) == 0 ? std::to_string(value) : std::string("?");
    }
    return text;
}

std::string hexOf(const uint8_t* bytes, size_t size) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < size && i < 64; ++i) {
        snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return size > 64 ? text + "..." : text;
}

bool parseNumber(const char* text, long min, long max, long* out) {
    char* end = nullptr;
    long value = strtol(text, &end, 0);
    if (end == text || *end != '\0' || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

int parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        long value = 0;
        auto number = [&](long min, long max) {
            return hasValue && parseNumber(argv[++i], min, max, &value);
        };
        if (arg == "--help") {
            fputs(USAGE, stdout);
            exit(0);
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--silent") {
            options.silent = true;
        } else if (arg == "--oversize") {
            options.oversize = true;
        } else if (arg == "--omit" && hasValue) {
            options.omit.insert(argv[++i]);
        } else if (arg == "--wrong-type" && hasValue) {
            options.wrongType.insert(argv[++i]);
        } else if (arg == "--tick-ms" && number(1, 3600000)) {
            options.tickMs = static_cast<int>(value);
        } else if (arg == "--walk" && number(1, 1000)) {
            options.walkSteps = static_cast<int>(value);
        } else if (arg == "--clearance" && number(1, 1000)) {
            options.clearanceSteps = static_cast<int>(value);
        } else if (arg == "--good" && number(0, 0xFFFF)) {
            options.good = static_cast<uint32_t>(value);
        } else if (arg == "--bad" && number(0, 0xFFFF)) {
            options.bad = static_cast<uint32_t>(value);
        } else {
            fprintf(stderr, "cidsim: bad argument \"%s\"\n\n%s", arg.c_str(), USAGE);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (parseOptions(argc, argv, options) < 0) {
        return 2;
    }
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 8 << 20;  // room for bursts from many stations; plain SO_RCVBUF when not allowed
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0) {
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(CID_PORT);
    inet_pton(AF_INET, CID_HOST, &address.sin_addr);
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        fprintf(stderr, "cidsim: cannot bind %s:%d: %s\n", CID_HOST, CID_PORT, strerror(errno));
        return 1;
    }
    if (!options.quiet) {
        printf("cidsim listening on %s:%d\n", CID_HOST, CID_PORT);
        fflush(stdout);
    }

    Intersection x;
    for (int p = 0; p < PHASES; ++p) {
        x.state[p] = DONT_WALK;
    }
    x.good = static_cast<uint16_t>(options.good);
    x.bad = static_cast<uint16_t>(options.bad);

    using Clock = std::chrono::steady_clock;
    auto nextStep = Clock::now() + std::chrono::milliseconds(options.tickMs);
    static uint8_t datagram[65536];
    static uint8_t reply[REPLY_CAPACITY];
    for (;;) {
        auto now = Clock::now();
        while (now >= nextStep) {
            step(x, options);
            nextStep += std::chrono::milliseconds(options.tickMs);
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextStep - now);
        pollfd entry{sock, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(wait.count()) + 1) <= 0) {
            continue;
        }
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        ssize_t n = recvfrom(sock, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&peer),
                             &peerLength);
        if (n < 0) {
            continue;
        }
        int32_t type = 0;
        if (bson_check(datagram, static_cast<uint32_t>(n)) < 0 ||
            bson_length(datagram) != static_cast<uint32_t>(n) || !intOf(datagram, "t", &type)) {
            if (!options.quiet) {
                printf("invalid (%zd bytes) %s\n", n,
                       hexOf(datagram, static_cast<size_t>(n)).c_str());
                fflush(stdout);
            }
            continue;
        }
        apply(x, type, datagram);
        std::string line = std::string(commandName(type)) + describe(datagram) + " (" +
                           std::to_string(n) + " bytes)";
        if (type == CID_INTERSECTION_STATUS) {
            int length = options.silent ? -1 : buildStatus(x, options, reply, sizeof reply);
            if (length > 0) {
                sendto(sock, reply, static_cast<size_t>(length), 0,
                       reinterpret_cast<sockaddr*>(&peer), peerLength);
                line += " -> status " + std::to_string(length) + " bytes";
            } else {
                line += " -> no answer";
            }
        }
        if (!options.quiet) {
            printf("%s\n", line.c_str());
            fflush(stdout);
        }
    }
}
