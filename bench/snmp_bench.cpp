// The station SNMP messages, built and parsed with stationtool's codec and with net-snmp's
// library, in process and without a network: a GetRequest and a SetRequest as stationtool sends
// them, and the GetResponse it reads (checked, then its error-status and value decoded).
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdlib>
#include <memory>

#include "micro.h"
#include "snmp.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t BUFFER_SIZE = 1024;  // stationtool's message buffer
constexpr const char* COMMUNITY = "mosaic";
constexpr uint32_t REQUEST_ID = 359;
constexpr int32_t SET_VALUE = 42;
constexpr const char* OID_TEXT = "1.3.6.1.4.1.1206.4.2.14.1.2";  // vol_max
const oid OID[] = {1, 3, 6, 1, 4, 1, 1206, 4, 2, 14, 1, 2};

// A station's answer to the get: GetResponse, request-id 359, the INTEGER 42.
const Bytes RESPONSE = {0x30, 0x2C, 0x02, 0x01, 0x00, 0x04, 0x06, 'm',  'o',  's',  'a',  'i',
                        'c',  0xA2, 0x1F, 0x02, 0x02, 0x01, 0x67, 0x02, 0x01, 0x00, 0x02, 0x01,
                        0x00, 0x30, 0x13, 0x30, 0x11, 0x06, 0x0C, 0x2B, 0x06, 0x01, 0x04, 0x01,
                        0x89, 0x36, 0x04, 0x02, 0x0E, 0x01, 0x02, 0x02, 0x01, 0x2A};

// Ours: the value element and the message, as stationtool builds them.
int buildOurs(uint8_t* buffer, uint8_t pdu) {
    uint8_t value[8];
    if (pdu == SNMP_SET_REQUEST) {
        snmp_encodeInteger(value, static_cast<uint32_t>(SET_VALUE));
    } else {
        snmp_encodeNull(value);
    }
    return snmp_buildMessage(buffer, BUFFER_SIZE, COMMUNITY, pdu, REQUEST_ID, OID_TEXT, value);
}

struct Answer {
    long status;
    long value;
    bool operator==(const Answer&) const = default;
};

Answer parseOurs(const uint8_t* message, size_t size) {
    const char* why = nullptr;
    if (snmp_checkMessage(message, size, &why) != SNMP_OK) {
        return {-1, -1};
    }
    snmp_message_t parsed;
    snmp_parseMessage(&parsed, message);
    uint32_t status = 0;
    uint32_t value = 0;
    if (snmp_decodeInteger(parsed.error_status, &status) != SNMP_OK ||
        snmp_decodeInteger(snmp_valueOf(parsed.varbind), &value) != SNMP_OK) {
        return {-1, -1};
    }
    return {static_cast<long>(status), static_cast<long>(value)};
}

// net-snmp: a v1 session that is never opened carries the version and the community, and a
// packet buffer kept across builds, as its sending code keeps one per session.
class NetSnmp {
  public:
    NetSnmp() : packet_(static_cast<u_char*>(malloc(PACKET_SIZE))) {
        snmp_sess_init(&session_);
        session_.version = SNMP_VERSION_1;
        session_.community = reinterpret_cast<u_char*>(const_cast<char*>(COMMUNITY));
        session_.community_len = strlen(COMMUNITY);
    }
    ~NetSnmp() { free(packet_); }
    NetSnmp(const NetSnmp&) = delete;
    NetSnmp& operator=(const NetSnmp&) = delete;

    // Builds the request; the message's first octet and its size, or nullptr.
    const u_char* build(int command, size_t* size) {
        netsnmp_pdu* pdu = snmp_pdu_create(command);
        pdu->version = SNMP_VERSION_1;  // as net-snmp's send path takes it from the session
        pdu->reqid = REQUEST_ID;
        if (command == SNMP_MSG_SET) {
            long value = SET_VALUE;
            snmp_pdu_add_variable(pdu, OID, OID_LENGTH(OID), ASN_INTEGER, &value, sizeof value);
        } else {
            snmp_add_null_var(pdu, OID, OID_LENGTH(OID));
        }
        size_t length = PACKET_SIZE;
        size_t offset = 0;
        int result = snmp_build(&packet_, &length, &offset, &session_, pdu);
        snmp_free_pdu(pdu);
        if (result != 0) {
            return nullptr;
        }
        // The reverse encoder writes from the end of the buffer towards its start.
        if (netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE)) {
            *size = offset;
            return packet_ + length - offset;
        }
        *size = length;
        return packet_;
    }

    Answer parse(u_char* message, size_t size) {
        netsnmp_pdu* pdu = static_cast<netsnmp_pdu*>(calloc(1, sizeof(netsnmp_pdu)));
        Answer answer{-1, -1};
        if (snmp_parse(nullptr, &session_, pdu, message, size) == 0 && pdu->variables != nullptr &&
            pdu->variables->type == ASN_INTEGER) {
            answer = {pdu->errstat, *pdu->variables->val.integer};
        }
        snmp_free_pdu(pdu);
        return answer;
    }

  private:
    static constexpr size_t PACKET_SIZE = 2048;
    netsnmp_session session_;
    u_char* packet_;
};

void addBuild(std::vector<MicroPair>& pairs, const char* name, uint8_t ours, int theirs) {
    pairs.push_back({std::string("SNMP build: ") + name, "net-snmp",
                     [ours](benchmark::State& state) {
                         uint8_t buffer[BUFFER_SIZE];
                         for (auto _ : state) {
                             benchmark::DoNotOptimize(buildOurs(buffer, ours));
                             benchmark::ClobberMemory();
                         }
                     },
                     [theirs](benchmark::State& state) {
                         NetSnmp library;
                         for (auto _ : state) {
                             size_t size = 0;
                             benchmark::DoNotOptimize(library.build(theirs, &size));
                             benchmark::ClobberMemory();
                         }
                     }});
}

}  // namespace

std::vector<MicroPair> snmpPairs() {
    std::vector<MicroPair> pairs;
    addBuild(pairs, "GetRequest", SNMP_GET_REQUEST, SNMP_MSG_GET);
    addBuild(pairs, "SetRequest", SNMP_SET_REQUEST, SNMP_MSG_SET);
    pairs.push_back({"SNMP parse: GetResponse", "net-snmp",
                     [](benchmark::State& state) {
                         for (auto _ : state) {
                             Answer answer = parseOurs(RESPONSE.data(), RESPONSE.size());
                             benchmark::DoNotOptimize(answer);
                         }
                     },
                     [](benchmark::State& state) {
                         NetSnmp library;
                         Bytes message = RESPONSE;  // the parser takes a mutable buffer
                         for (auto _ : state) {
                             Answer answer = library.parse(message.data(), message.size());
                             benchmark::DoNotOptimize(answer);
                         }
                     }});
    return pairs;
}

std::vector<std::string> snmpMismatches() {
    std::vector<std::string> found;
    NetSnmp library;
    for (auto [name, ours, theirs] : {std::tuple{"GetRequest", SNMP_GET_REQUEST, SNMP_MSG_GET},
                                      std::tuple{"SetRequest", SNMP_SET_REQUEST, SNMP_MSG_SET}}) {
        uint8_t buffer[BUFFER_SIZE];
        int size = buildOurs(buffer, static_cast<uint8_t>(ours));
        size_t theirSize = 0;
        const u_char* message = library.build(theirs, &theirSize);
        if (size < 0 || message == nullptr ||
            Bytes(buffer, buffer + size) != Bytes(message, message + theirSize)) {
            found.push_back(std::string("SNMP build: ") + name +
                            ": stationtool's codec and net-snmp differ");
        }
    }
    Bytes message = RESPONSE;
    Answer ours = parseOurs(RESPONSE.data(), RESPONSE.size());
    if (ours != Answer{0, SET_VALUE} || library.parse(message.data(), message.size()) != ours) {
        found.push_back("SNMP parse: GetResponse: the parsers differ");
    }
    return found;
}
