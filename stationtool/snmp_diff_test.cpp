// Differential tests against net-snmp's library: requests built by our codec are decoded by
// net-snmp's message parser, and GetResponses encoded by net-snmp are checked, parsed, read and
// dumped by ours. Both must agree on every field.
//
// net-snmp is used without a session on the network and without init_snmp, so it reads no
// configuration file and no MIB. Every message comes from its own seed (base seed + round); a
// failure names it. To rerun one message: SNMP_DIFF_SEED=<seed> SNMP_DIFF_ROUNDS=1.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "capture.h"
#include "rounds.h"
#include "snmp.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Numbers = std::vector<uint32_t>;

struct PduDeleter {
    void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};
using Pdu = std::unique_ptr<netsnmp_pdu, PduDeleter>;

// net-snmp's parse of a whole message; null when it refuses the octets.
Pdu parseWithNetsnmp(const Bytes& message) {
    netsnmp_session session;
    snmp_sess_init(&session);  // no network: only the defaults, version taken from the message
    Pdu pdu(snmp_pdu_create(0));
    // net-snmp's parser takes non-const octets; it gets a copy of exactly the message's size.
    auto held = std::make_unique<u_char[]>(message.size());
    std::memcpy(held.get(), message.data(), message.size());
    if (snmp_parse(nullptr, &session, pdu.get(), held.get(), message.size()) != 0) {
        std::string hex;
        for (uint8_t octet : message) {
            char two[4];
            std::snprintf(two, sizeof two, " %02X", octet);
            hex += two;
        }
        ADD_FAILURE() << "net-snmp refuses" << hex << ": "
                      << snmp_api_errstring(session.s_snmp_errno);
        return nullptr;
    }
    return pdu;
}

// net-snmp's encoding of a version 1 message, the way an agent sends it.
Bytes buildWithNetsnmp(netsnmp_pdu* pdu, const std::string& community, bool reverse = true) {
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_1;
    pdu->version = SNMP_VERSION_1;
    free(pdu->community);
    pdu->community = static_cast<u_char*>(malloc(community.size() + 1));
    std::memcpy(pdu->community, community.data(), community.size());
    pdu->community_len = community.size();
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE, reverse ? 1 : 0);
    size_t size = 64;
    size_t offset = 0;
    auto* packet = static_cast<u_char*>(malloc(size));
    int result = snmp_build(&packet, &size, &offset, &session, pdu);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE, 1);
    Bytes out;
    if (result == 0) {
        // The reverse encoder fills the packet from its end and counts the octets in `offset`;
        // the forward one fills it from the start and counts them in `size`.
        if (pdu->flags & UCD_MSG_FLAG_FORWARD_ENCODE) {
            out.assign(packet, packet + size);
        } else {
            out.assign(packet + size - offset, packet + size);
        }
    }
    free(packet);
    EXPECT_EQ(result, 0) << "net-snmp refused to encode: "
                         << snmp_api_errstring(session.s_snmp_errno);
    return out;
}

std::string dotted(const Numbers& numbers) {
    std::string out;
    for (uint32_t n : numbers) {
        out += (out.empty() ? "" : ".") + std::to_string(n);
    }
    return out;
}

Numbers netsnmpName(const netsnmp_variable_list* var) {
    return Numbers(var->name, var->name + var->name_length);
}

// The name of a varbind as our element readers decode it: 0x2B as 1.3, then sub-identifiers.
Numbers ourName(const uint8_t* varbind) {
    const uint8_t* name = varbind + 2;
    EXPECT_EQ(snmp_typeOf(name), SNMP_OBJECT_ID);
    const uint32_t length = snmp_contentLength(name);
    const uint8_t* content = name + snmp_elementSize(name) - length;
    Numbers out;
    if (length == 0 || content[0] != 0x2B) {
        ADD_FAILURE() << "name does not begin with 1.3";
        return out;
    }
    out = {1, 3};
    for (uint32_t pos = 1; pos < length;) {
        int count = 0;
        out.push_back(snmp_decodeSubidentifier(&count, content + pos));
        pos += uint32_t(count);
    }
    return out;
}

class Random {
  public:
    explicit Random(uint32_t seed) : engine_(seed) {}

    uint32_t below(uint32_t n) { return engine_() % n; }
    uint32_t any() { return engine_(); }

    // Octets of a community or a string value, now and then the system's community; `nul`
    // allows zero octets, which only received octets can hold.
    std::string octets(uint32_t maxLength, bool nul) {
        if (below(4) == 0) {
            return "mosaic";
        }
        std::string out(below(maxLength + 1), ' ');
        for (char& c : out) {
            c = char(nul ? below(256) : 1 + below(255));
        }
        return out;
    }

    // 1.3 and then `count` sub-identifiers, edge values weighted in.
    Numbers oid(uint32_t count) {
        const uint32_t edges[] = {0,         1,          127,     128,       16383,
                                  16384,     2097151,    2097152, 268435455, 268435456,
                                  999999999, 1000000000, 1206,    UINT32_MAX};
        Numbers out = {1, 3};
        if (below(3) == 0) {
            out.insert(out.end(), {6, 1, 4, 1, 1206, 4, 2, 14});
        }
        while (out.size() < count + 2) {
            out.push_back(below(3) == 0 ? edges[below(14)] : below(200));
        }
        return out;
    }

    int32_t integer() {
        const int32_t edges[] = {0,   1,     -1,     127,     128,      -128,      -129,     255,
                                 256, 32767, -32768, 8388607, -8388608, INT32_MAX, INT32_MIN};
        return below(2) == 0 ? edges[below(15)] : int32_t(any());
    }

  private:
    std::mt19937 engine_;
};

// Octets of our request by the length formula of the builder (all headers two octets).
size_t requestSize(size_t community, const Numbers& oid, size_t idSize, size_t valueSize) {
    uint8_t name[SNMP_MAX_OID_SIZE];
    int nameSize = snmp_encodeOID(name, dotted(oid).c_str());
    if (nameSize < 0) {
        return SIZE_MAX;  // the identifier outgrows its one-octet length
    }
    return 2 + 3 + 2 + community + 2 + idSize + 3 + 3 + 2 + 2 + size_t(nameSize) + valueSize;
}

TEST(SnmpDiff, RequestsWeBuildAreDecodedByNetsnmpAsBuilt) {
    int decoded = 0;
    int refused = 0;
    const uint32_t count = forEachSeed("SNMP_DIFF", 20261208, 6000, [&](uint32_t seed) {
        Random random(seed);
        const bool set = random.below(2) == 0;
        const std::string community = random.octets(random.below(8) == 0 ? 127 : 24, false);
        const uint32_t requestId = random.below(2) == 0
                                       ? random.below(1024)
                                       : (random.below(2) ? random.any() : UINT32_MAX);
        const int32_t value = random.integer();
        uint8_t valueElement[8];
        size_t valueSize = set ? size_t(snmp_encodeInteger(valueElement, uint32_t(value)))
                               : size_t(snmp_encodeNull(valueElement));
        uint8_t id[8];
        const size_t idSize = size_t(snmp_encodeInteger(id, requestId));
        Numbers oid = random.oid(random.below(8) == 0 ? 80 : random.below(24));
        // Above 241 octets the builder ends the process; that case has a test of its own.
        while (requestSize(community.size(), oid, idSize, valueSize) > 241) {
            oid.pop_back();
        }
        const size_t expected = requestSize(community.size(), oid, idSize, valueSize);

        uint8_t buffer[1024];
        const int size = snmp_buildMessage(buffer, sizeof buffer, community.c_str(),
                                           set ? SNMP_SET_REQUEST : SNMP_GET_REQUEST, requestId,
                                           dotted(oid).c_str(), valueElement);
        if (expected > 2 + SNMP_MAX_SHORT_LENGTH) {
            // Its lengths would not fit one BER length octet: refused, nothing to send.
            EXPECT_EQ(size, -1) << expected << " octets";
            ++refused;
            return;
        }
        ASSERT_EQ(size, int(expected));
        const Bytes message(buffer, buffer + size);

        Pdu pdu = parseWithNetsnmp(message);
        ASSERT_NE(pdu, nullptr) << "net-snmp cannot decode our request of " << size << " octets";
        ++decoded;
        EXPECT_EQ(pdu->version, SNMP_VERSION_1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pdu->community), pdu->community_len),
                  community);
        EXPECT_EQ(pdu->command, set ? SNMP_MSG_SET : SNMP_MSG_GET);
        // The request-id goes out as an unsigned number, which is what net-snmp reads.
        EXPECT_EQ(pdu->reqid, long(requestId));
        EXPECT_EQ(pdu->errstat, 0);
        EXPECT_EQ(pdu->errindex, 0);
        const netsnmp_variable_list* var = pdu->variables;
        ASSERT_NE(var, nullptr);
        EXPECT_EQ(var->next_variable, nullptr);
        EXPECT_EQ(netsnmpName(var), oid);
        if (set) {
            ASSERT_EQ(var->type, ASN_INTEGER);
            // A negative value goes out as the large positive number with the same 32 bits
            // (-1 as 00 FF FF FF FF); net-snmp reads that number.
            EXPECT_EQ(*var->val.integer, long(uint32_t(value)));
        } else {
            EXPECT_EQ(var->type, ASN_NULL);
        }
    });
    EXPECT_EQ(decoded + refused, int(count));
    EXPECT_GT(decoded, int(count) * 3 / 4);
    RecordProperty("decoded", decoded);
    RecordProperty("refused", refused);
}

// A GetResponse as an agent would send it; `varbinds` ≥ 1, the first one is what we read.
struct Response {
    long reqid;
    long errstat;
    long errindex;
    std::string community;
    Numbers name;
    u_char type;
    long integer = 0;
    std::string octets;  // OCTET STRING content, or the four IpAddress octets
    Numbers objectId;
    uint32_t varbinds = 1;
};

Response randomResponse(Random& random) {
    Response r;
    const long ids[] = {0, 1, 359, 1023, 1024, INT32_MAX, -1, INT32_MIN};
    r.reqid = random.below(2) == 0 ? long(random.below(1024)) : ids[random.below(8)];
    // Version 1 error-status is 0 to 5; net-snmp encodes any number.
    const long statuses[] = {0, 0, 0, 1, 2, 3, 4, 5, 18, 127, 128, 255, INT32_MAX};
    r.errstat = statuses[random.below(13)];
    r.errindex = random.below(3) == 0 ? long(random.below(300)) : 0;
    r.community = random.octets(random.below(5) == 0 ? 60 : 12, true);
    r.name = random.oid(random.below(14));
    const u_char types[] = {ASN_INTEGER,   ASN_INTEGER, ASN_INTEGER,   ASN_OCTET_STR,
                            ASN_OCTET_STR, ASN_NULL,    ASN_OBJECT_ID, ASN_TIMETICKS,
                            ASN_IPADDRESS, ASN_COUNTER, ASN_GAUGE};
    r.type = types[random.below(11)];
    switch (r.type) {
        case ASN_INTEGER:
            r.integer = random.integer();
            break;
        case ASN_TIMETICKS:
        case ASN_COUNTER:
        case ASN_GAUGE:
            r.integer = long(random.below(2) ? random.any() : UINT32_MAX);
            break;
        case ASN_OCTET_STR:
            r.octets = random.octets(random.below(4) == 0 ? 90 : 16, true);
            break;
        case ASN_IPADDRESS:
            r.octets = {char(random.below(256)), char(random.below(256)), char(random.below(256)),
                        char(random.below(256))};
            break;
        case ASN_OBJECT_ID:
            r.objectId = random.oid(random.below(6));
            break;
        default:
            break;
    }
    r.varbinds = random.below(5) == 0 ? 2 + random.below(2) : 1;
    return r;
}

Pdu netsnmpResponse(const Response& r) {
    Pdu pdu(snmp_pdu_create(SNMP_MSG_RESPONSE));
    pdu->reqid = r.reqid;
    pdu->errstat = r.errstat;
    pdu->errindex = r.errindex;
    std::vector<oid> name(r.name.begin(), r.name.end());
    std::vector<oid> objectId(r.objectId.begin(), r.objectId.end());
    for (uint32_t v = 0; v < r.varbinds; ++v) {
        if (v > 0) {
            name.back() ^= 1;  // later varbinds: another name, the same value
        }
        switch (r.type) {
            case ASN_OCTET_STR:
            case ASN_IPADDRESS:
                snmp_pdu_add_variable(pdu.get(), name.data(), name.size(), r.type, r.octets.data(),
                                      r.octets.size());
                break;
            case ASN_OBJECT_ID:
                snmp_pdu_add_variable(pdu.get(), name.data(), name.size(), r.type, objectId.data(),
                                      objectId.size() * sizeof(oid));
                break;
            case ASN_NULL:
                snmp_pdu_add_variable(pdu.get(), name.data(), name.size(), r.type, nullptr, 0);
                break;
            default:
                snmp_pdu_add_variable(pdu.get(), name.data(), name.size(), r.type, &r.integer,
                                      sizeof r.integer);
                break;
        }
    }
    return pdu;
}

std::string printed(const Bytes& message) {
    return captured([&](FILE* stream) { snmp_printMessage(stream, message.data()); });
}

// Reads one response with every reader the exchange and the operator's dump use and compares
// it with what net-snmp encoded.
void expectWeRead(const Bytes& message, const Response& r) {
    // An exact-size heap block, so that ASan sees any read past the octets received.
    auto held = std::make_unique<uint8_t[]>(message.size());
    std::memcpy(held.get(), message.data(), message.size());
    const char* why = "";
    ASSERT_EQ(snmp_checkMessage(held.get(), message.size(), &why), SNMP_OK) << why;
    snmp_message_t parsed;
    ASSERT_EQ(snmp_parseMessage(&parsed, held.get()), 1);

    uint32_t number = 99;
    EXPECT_EQ(snmp_decodeInteger(parsed.version, &number), SNMP_OK);
    EXPECT_EQ(number, 0u);
    char community[128];
    ASSERT_EQ(snmp_copyOctetString(parsed.community, community, sizeof community), SNMP_OK);
    EXPECT_EQ(std::string(community, snmp_contentLength(parsed.community)), r.community);
    EXPECT_EQ(snmp_typeOf(parsed.pdu), 0xA2);
    // Our readers give the 32 bits of the two's complement; net-snmp's numbers are signed.
    EXPECT_EQ(snmp_requestIdMatches(&parsed, uint32_t(r.reqid)), 1);
    EXPECT_EQ(snmp_requestIdMatches(&parsed, uint32_t(r.reqid) + 1), 0);
    ASSERT_EQ(snmp_decodeInteger(parsed.error_status, &number), SNMP_OK);
    EXPECT_EQ(number, uint32_t(r.errstat));
    ASSERT_EQ(snmp_decodeInteger(parsed.error_index, &number), SNMP_OK);
    EXPECT_EQ(number, uint32_t(r.errindex));

    EXPECT_EQ(ourName(parsed.varbind), r.name);
    EXPECT_EQ(snmp_compareOID(dotted(r.name).c_str(), parsed.varbind), 0);
    if (r.name.size() > 2) {
        Numbers other = r.name;
        other.back() = other.back() == 0 ? 1 : other.back() - 1;
        EXPECT_EQ(snmp_compareOID(dotted(other).c_str(), parsed.varbind), 1);
    }

    const uint8_t* value = snmp_valueOf(parsed.varbind);
    // The value is the last element of the varbind.
    EXPECT_EQ(value + snmp_elementSize(value), parsed.varbind + snmp_elementSize(parsed.varbind));
    EXPECT_EQ(snmp_typeOf(value), r.type);
    std::string valueLine;
    if (r.type == ASN_INTEGER) {
        ASSERT_EQ(snmp_decodeInteger(value, &number), SNMP_OK);
        EXPECT_EQ(number, uint32_t(r.integer));
        valueLine = "Value: " + std::to_string(uint32_t(r.integer)) + "\n";  // as unsigned
    } else {
        uint32_t untouched = 12345;
        EXPECT_EQ(snmp_decodeInteger(value, &untouched), SNMP_WRONG_TYPE);
        EXPECT_EQ(untouched, 12345u);
    }
    if (r.type == ASN_OCTET_STR || r.type == ASN_IPADDRESS) {
        char content[128];
        ASSERT_EQ(snmp_copyOctetString(value, content, sizeof content), SNMP_OK);
        EXPECT_EQ(std::string(content, snmp_contentLength(value)), r.octets);
    }
    if (r.type == ASN_OCTET_STR) {
        // The dump prints the content as text, up to a NUL inside it.
        valueLine = "Value: " + std::string(r.octets.c_str()) + "\n";
    }

    const size_t pduLength = message.size() - 2 - 3 - 2 - r.community.size() - 2;
    const std::string expected =
        "Length: " + std::to_string(message.size()) +
        "\nVersion: 0\nCommunity: " + std::string(r.community.c_str()) +
        "\nPDU length: " + std::to_string(pduLength) +
        "\nPDU type: 162\nRequest ID: " + std::to_string(uint32_t(r.reqid)) +
        "\nError: " + std::to_string(uint32_t(r.errstat)) +
        "\nError index: " + std::to_string(uint32_t(r.errindex)) +
        "\nVarbind list length: \nVarbind length: \nOID: \nValue length: " +
        std::to_string(snmp_contentLength(value)) + "\nValue Typecode: " + std::to_string(r.type) +
        "\n" + valueLine + "==========================\n";
    EXPECT_EQ(printed(message), expected);
}

TEST(SnmpDiff, ResponsesNetsnmpEncodesAreReadAsEncoded) {
    int read = 0;
    int longForm = 0;
    const uint32_t count = forEachSeed("SNMP_DIFF", 8121962, 6000, [&](uint32_t seed) {
        Random random(seed);
        const Response response = randomResponse(random);
        Pdu pdu = netsnmpResponse(response);
        const Bytes message = buildWithNetsnmp(pdu.get(), response.community);
        ASSERT_FALSE(message.empty());
        if (message.size() > 2 + SNMP_MAX_SHORT_LENGTH) {
            // Beyond 127 content octets the message length takes the long form, which our
            // parser's fixed positions do not allow; the check refuses it and says so.
            const char* why = "";
            EXPECT_EQ(snmp_checkMessage(message.data(), message.size(), &why), SNMP_MALFORMED);
            EXPECT_STREQ(why, "message length is in the long form");
            ++longForm;
        } else {
            expectWeRead(message, response);
            ++read;
        }
    });
    // Most messages must be read for the comparison to count.
    EXPECT_GT(read, int(count) * 3 / 4);
    RecordProperty("read", read);
    RecordProperty("longForm", longForm);
}

// An encoder that writes the lengths of constructed elements in a fixed long form (net-snmp's
// forward encoder) produces valid BER that our fixed positions cannot follow: it is refused
// whole, never read at the wrong offsets.
TEST(SnmpDiff, ForwardEncodedResponsesAreRefusedForTheirLongFormHeaders) {
    Response r;
    r.reqid = 359;
    r.errstat = 0;
    r.errindex = 0;
    r.community = "mosaic";
    r.name = {1, 3, 6, 1, 4, 1, 1206, 4, 2, 14, 7, 3};
    r.type = ASN_INTEGER;
    r.integer = -1;
    Pdu pdu = netsnmpResponse(r);
    const Bytes forward = buildWithNetsnmp(pdu.get(), r.community, false);
    ASSERT_FALSE(forward.empty());
    ASSERT_NE(forward[1] & 0x80, 0) << "net-snmp's forward encoder wrote a short length";
    ASSERT_NE(parseWithNetsnmp(forward), nullptr);
    const char* why = "";
    EXPECT_EQ(snmp_checkMessage(forward.data(), forward.size(), &why), SNMP_MALFORMED);
    EXPECT_STREQ(why, "message length is in the long form");

    Pdu again = netsnmpResponse(r);
    expectWeRead(buildWithNetsnmp(again.get(), r.community), r);
}

// A request, decoded by net-snmp, answered by net-snmp as an agent does (the same request-id
// and name), and the answer read by us: the exchange's own matching holds.
TEST(SnmpDiff, NetsnmpAnswersToOurRequestsMatchThem) {
    forEachSeed("SNMP_DIFF", 424242, 2000, [&](uint32_t seed) {
        Random random(seed);
        const Numbers oid = random.oid(random.below(12));
        const uint32_t requestId = random.below(1024);
        const int32_t value = random.integer();
        uint8_t valueElement[8];
        snmp_encodeInteger(valueElement, uint32_t(value));
        uint8_t buffer[1024];
        const int size = snmp_buildMessage(buffer, sizeof buffer, "mosaic", SNMP_SET_REQUEST,
                                           requestId, dotted(oid).c_str(), valueElement);
        ASSERT_GT(size, 0);
        Pdu request = parseWithNetsnmp(Bytes(buffer, buffer + size));
        ASSERT_NE(request, nullptr);

        // The agent stores the 32 bits it was sent and answers with the stored value.
        Response answer;
        answer.reqid = request->reqid;
        answer.errstat = 0;
        answer.errindex = 0;
        answer.community = "mosaic";
        answer.name = netsnmpName(request->variables);
        answer.type = ASN_INTEGER;
        answer.integer = long(int32_t(uint32_t(*request->variables->val.integer)));
        Pdu pdu = netsnmpResponse(answer);
        const Bytes message = buildWithNetsnmp(pdu.get(), answer.community);
        ASSERT_LE(message.size(), 129u);
        expectWeRead(message, answer);

        snmp_message_t parsed;
        snmp_parseMessage(&parsed, message.data());
        EXPECT_EQ(snmp_requestIdMatches(&parsed, requestId), 1);
        uint32_t stored = 0;
        ASSERT_EQ(snmp_decodeInteger(snmp_valueOf(parsed.varbind), &stored), SNMP_OK);
        EXPECT_EQ(stored, uint32_t(value));
    });
}

}  // namespace
