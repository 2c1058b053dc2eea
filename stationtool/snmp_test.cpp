#include "snmp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture.h"
#include "octets.h"

namespace {

using Bytes = std::vector<uint8_t>;

const auto hex = octets;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

std::string dump(const Bytes& message) {
    return captured([&](FILE* stream) { snmp_printMessage(stream, message.data()); });
}

const char* const OID = "1.3.6.1.4.1.1206.4.2.14.7.3";
const Bytes OID_ELEMENT = hex("06 0C 2B 06 01 04 01 89 36 04 02 0E 07 03");
const Bytes MOSAIC = hex("04 06 6D 6F 73 61 69 63");

const Bytes GET_REQUEST =
    concat({hex("30 2B 02 01 00"), MOSAIC, hex("A0 1E 02 02 01 67 02 01 00 02 01 00 30 12 30 10"),
            OID_ELEMENT, hex("05 00")});
const Bytes SET_REQUEST =
    concat({hex("30 2C 02 01 00"), MOSAIC, hex("A3 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"),
            OID_ELEMENT, hex("02 01 2A")});

// A GetResponse as the agent answers a setting that holds -1.
const Bytes RESPONSE_MINUS_ONE =
    concat({hex("30 2C 02 01 00"), MOSAIC, hex("A2 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"),
            OID_ELEMENT, hex("02 01 FF")});

TEST(SnmpEncode, ObjectIdentifiers) {
    struct Case {
        const char* text;
        Bytes element;
    } cases[] = {
        {OID, OID_ELEMENT},
        {"1.3", hex("06 01 2B")},
        {"2.5.1", hex("06 02 2B 01")},  // the first two numbers always go out as 1.3
        {"1.3.127.128.16383.16384", hex("06 09 2B 7F 81 00 FF 7F 81 80 00")},
        {"1.3.4294967295", hex("06 06 2B 8F FF FF FF 7F")},
    };
    for (const Case& c : cases) {
        uint8_t out[SNMP_MAX_OID_SIZE] = {};
        int size = snmp_encodeOID(out, c.text);
        EXPECT_EQ(Bytes(out, out + std::max(size, 0)), c.element) << c.text;
    }
}

TEST(SnmpEncode, ObjectIdentifierTextsThatCannotBeEncodedAreRefused) {
    std::string tooLong = "1.3";
    for (int i = 0; i < 64; i++) {
        tooLong += ".300";  // 64 two-octet sub-identifiers: 129 content octets
    }
    const char* cases[] = {
        "", "1", "1.", "1.3.", "1.3..6", "1.3.6x", "x.3.6", "1.3.4294967296", tooLong.c_str()};
    for (const char* text : cases) {
        uint8_t out[SNMP_MAX_OID_SIZE];
        EXPECT_EQ(snmp_encodeOID(out, text), -1) << text;
    }
}

TEST(SnmpEncode, SubidentifiersRoundTrip) {
    struct Case {
        uint32_t number;
        Bytes octets;
    } cases[] = {
        {0, hex("00")},
        {127, hex("7F")},
        {128, hex("81 00")},
        {1206, hex("89 36")},
        {16383, hex("FF 7F")},
        {16384, hex("81 80 00")},
        {0xFFFFFFFF, hex("8F FF FF FF 7F")},
    };
    for (const Case& c : cases) {
        uint8_t out[5];
        int count = snmp_encodeSubidentifier(out, c.number);
        EXPECT_EQ(Bytes(out, out + count), c.octets) << c.number;
        int read = 0;
        EXPECT_EQ(snmp_decodeSubidentifier(&read, c.octets.data()), c.number);
        EXPECT_EQ(read, count);
    }
}

TEST(SnmpEncode, Integers) {
    struct Case {
        uint32_t value;
        Bytes element;
    } cases[] = {
        {0, hex("02 01 00")},
        {127, hex("02 01 7F")},
        {128, hex("02 02 00 80")},
        {256, hex("02 02 01 00")},
        {16777215, hex("02 04 00 FF FF FF")},
        {uint32_t(-5), hex("02 05 00 FF FF FF FB")},
        {uint32_t(-1), hex("02 05 00 FF FF FF FF")},
    };
    for (const Case& c : cases) {
        uint8_t out[8];
        int size = snmp_encodeInteger(out, c.value);
        EXPECT_EQ(Bytes(out, out + size), c.element) << c.value;
    }
}

TEST(SnmpEncode, OtherValueElements) {
    uint8_t out[16];
    EXPECT_EQ(Bytes(out, out + snmp_encodeNull(out)), hex("05 00"));
    EXPECT_EQ(Bytes(out, out + snmp_encodeTimeTicks(out, 200)), hex("43 02 00 C8"));
    EXPECT_EQ(Bytes(out, out + snmp_encodeOctetString(out, "ab", 2)), hex("04 02 61 62"));
    uint32_t address;
    memcpy(&address, "\xC0\xA8\x00\x0D", 4);
    EXPECT_EQ(Bytes(out, out + snmp_encodeIpAddress(out, address)), hex("40 04 C0 A8 00 0D"));
}

TEST(SnmpDecode, IntegersOfMinus2To31UpTo2To32AreTheir32BitPattern) {
    struct Case {
        Bytes element;
        int result;
        uint32_t value;
    } cases[] = {
        {hex("02 05 00 FF FF FF FF"), SNMP_OK, 0xFFFFFFFF},
        {hex("02 01 FF"), SNMP_OK, 0xFFFFFFFF},
        {hex("02 02 00 FF"), SNMP_OK, 255},
        {hex("02 01 2A"), SNMP_OK, 42},
        {hex("02 01 80"), SNMP_OK, 0xFFFFFF80},
        {hex("02 02 FF 7F"), SNMP_OK, 0xFFFFFF7F},
        {hex("02 04 80 00 00 00"), SNMP_OK, 0x80000000},
        {hex("02 81 01 05"), SNMP_OK, 5},  // long-form length
        {hex("02 06 00 00 00 00 00 05"), SNMP_OK, 5},
        {hex("02 05 FF 80 00 00 00"), SNMP_OK, 0x80000000},  // -2^31 with a redundant FF
        {hex("02 05 FF 7F FF FF FF"), SNMP_TOO_LONG, 7},     // -2^31 - 1
        {hex("02 05 01 00 00 00 00"), SNMP_TOO_LONG, 7},     // 2^32
        {hex("02 06 12 34 56 78 9A BC"), SNMP_TOO_LONG, 7},
        {hex("02 00"), SNMP_MALFORMED, 7},
    };
    for (const Case& c : cases) {
        uint32_t value = 7;
        EXPECT_EQ(snmp_decodeInteger(c.element.data(), &value), c.result)
            << ::testing::PrintToString(c.element);
        EXPECT_EQ(value, c.value) << ::testing::PrintToString(c.element);
    }
}

TEST(SnmpDecode, IntegersRoundTripOverManyValues) {
    std::mt19937 random(1206);
    for (int i = 0; i < 10000; i++) {
        uint32_t value = random() >> (random() % 32);
        uint8_t out[8];
        snmp_encodeInteger(out, value);
        uint32_t back = 0;
        snmp_decodeInteger(out, &back);
        ASSERT_EQ(back, value);
    }
}

TEST(SnmpDecode, WrongTypeLeavesTheDestination) {
    Bytes element = hex("04 01 05");
    uint32_t value = 99;
    EXPECT_EQ(snmp_decodeInteger(element.data(), &value), SNMP_WRONG_TYPE);
    EXPECT_EQ(value, 99u);
}

TEST(SnmpDecode, LongFormLengths) {
    Bytes element = hex("04 81 C8");
    for (int i = 0; i < 200; i++) {
        element.push_back(uint8_t(i));
    }
    EXPECT_EQ(snmp_contentLength(element.data()), 200u);
    EXPECT_EQ(snmp_elementSize(element.data()), 203u);

    Bytes copy(200, 0xEE);
    EXPECT_EQ(snmp_copyOctetString(element.data(), copy.data(), copy.size()), SNMP_OK);
    EXPECT_EQ(copy, Bytes(element.begin() + 3, element.end()));

    Bytes small(199, 0xEE);
    EXPECT_EQ(snmp_copyOctetString(element.data(), small.data(), small.size()), SNMP_TOO_LONG);
    EXPECT_EQ(small, Bytes(199, 0xEE));

    EXPECT_EQ(snmp_contentLength(hex("04 82 01 2C").data()), 300u);
    EXPECT_EQ(snmp_elementSize(hex("04 82 01 2C").data()), 304u);
}

TEST(SnmpDecode, OctetStringComparison) {
    EXPECT_EQ(snmp_compareOctetString("mosaic", MOSAIC.data()), 0);
    EXPECT_NE(snmp_compareOctetString("mosai", MOSAIC.data()), 0);
    EXPECT_NE(snmp_compareOctetString("mosaid", MOSAIC.data()), 0);
    EXPECT_NE(snmp_compareOctetString("mosaics", MOSAIC.data()), 0);
}

TEST(SnmpDecode, ObjectIdentifiersCompareEqualOnlyOctetForOctet) {
    Bytes varbind = concat({hex("30 10"), OID_ELEMENT, hex("05 00")});
    Bytes bare = hex("30 05 06 01 2B 05 00");
    Bytes cut = hex("30 06 06 02 2B 89 05 00");  // second octet of 1206 missing
    struct Case {
        const char* text;
        const Bytes& varbind;
        int result;
    } cases[] = {
        {OID, varbind, 0},
        {"2.9.6.1.4.1.1206.4.2.14.7.3", varbind, 0},  // the first two numbers go out as 0x2B
        {"1.3.6.1.4.1.1206.4.2.14.7.3.5", varbind, 1},
        {"1.3.6.1.4.1.1206.4.2.14.7.4", varbind, 1},
        {"1.3.6.1.4.1.1206.4.2.14.7", varbind, 1},
        {"1.3.6.1.4.1.1207.4.2.14.7.3", varbind, 1},
        {"1.3", bare, 0},
        {"1.3.99", bare, 1},
        {"1.3.1206", cut, 1},
        {"1.3.x", bare, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(snmp_compareOID(c.text, c.varbind.data()), c.result) << c.text;
    }
}

TEST(SnmpBuild, GetAndSetRequestsHaveTheExactOctets) {
    uint8_t value[8];
    uint8_t buffer[1024];
    snmp_encodeNull(value);
    int size =
        snmp_buildMessage(buffer, sizeof buffer, "mosaic", SNMP_GET_REQUEST, 359, OID, value);
    EXPECT_EQ(Bytes(buffer, buffer + size), GET_REQUEST);

    snmp_encodeInteger(value, 42);
    size = snmp_buildMessage(buffer, sizeof buffer, "mosaic", SNMP_SET_REQUEST, 359, OID, value);
    EXPECT_EQ(Bytes(buffer, buffer + size), SET_REQUEST);
}

TEST(SnmpBuild, RefusesWhatTheBufferOrTheFormatCannotHold) {
    uint8_t value[8];
    snmp_encodeNull(value);
    uint8_t buffer[1024];
    EXPECT_EQ(snmp_buildMessage(buffer, 44, "mosaic", SNMP_GET_REQUEST, 359, OID, value), -1);
    EXPECT_EQ(snmp_buildMessage(buffer, 45, "mosaic", SNMP_GET_REQUEST, 359, OID, value), 45);
    EXPECT_EQ(
        snmp_buildMessage(buffer, sizeof buffer, "mosaic", SNMP_GET_REQUEST, 359, "1.3.x", value),
        -1);
    std::string community(128, 'c');
    EXPECT_EQ(snmp_buildMessage(buffer, sizeof buffer, community.c_str(), SNMP_GET_REQUEST, 359,
                                OID, value),
              -1);
}

TEST(SnmpBuild, RequestIdsOfEveryWidthGoOutWhole) {
    // Request-ids from 2^31 on take five content octets (a 00 in front); the encoded element
    // once outgrew its scratch space and overwrote the first octet of the name.
    struct Case {
        uint32_t id;
        Bytes element;
        Bytes lengths;  // message and PDU length octets
    } cases[] = {
        {0x7FFFFFFF, hex("02 04 7F FF FF FF"), hex("2D 20")},
        {0x80000000, hex("02 05 00 80 00 00 00"), hex("2E 21")},
        {0xFFFFFFFF, hex("02 05 00 FF FF FF FF"), hex("2E 21")},
    };
    uint8_t value[8];
    snmp_encodeNull(value);
    for (const Case& c : cases) {
        uint8_t buffer[1024];
        int size =
            snmp_buildMessage(buffer, sizeof buffer, "mosaic", SNMP_GET_REQUEST, c.id, OID, value);
        Bytes expected = concat({hex("30"),
                                 {c.lengths[0]},
                                 hex("02 01 00"),
                                 MOSAIC,
                                 hex("A0"),
                                 {c.lengths[1]},
                                 c.element,
                                 hex("02 01 00 02 01 00 30 12 30 10"),
                                 OID_ELEMENT,
                                 hex("05 00")});
        ASSERT_EQ(size, int(expected.size())) << c.id;
        EXPECT_EQ(Bytes(buffer, buffer + size), expected) << c.id;
    }
}

TEST(SnmpBuild, RefusesAMessageWhoseLengthsWouldNotBeShortForm) {
    // With this identifier and request-id a message is 39 octets plus the community. Up to a
    // content of 127 octets every length is one octet below 0x80; one more octet would need the
    // long form, which the fixed two-octet headers cannot hold.
    uint8_t value[8];
    snmp_encodeNull(value);
    uint8_t buffer[1024];
    const std::string fits(90, 'c');
    ASSERT_EQ(
        snmp_buildMessage(buffer, sizeof buffer, fits.c_str(), SNMP_GET_REQUEST, 359, OID, value),
        129);
    EXPECT_EQ(buffer[1], 0x7F);
    for (size_t length : {91, 127}) {
        const std::string community(length, 'c');
        EXPECT_EQ(snmp_buildMessage(buffer, sizeof buffer, community.c_str(), SNMP_GET_REQUEST, 359,
                                    OID, value),
                  -1)
            << length;
    }
}

TEST(SnmpBuild, ConstructedLengthAbove239IsTheStatusThatEndsTheProcess) {
    uint8_t element[2] = {0x30, 0};
    EXPECT_EQ(snmp_setLength(element, 239), 0);
    EXPECT_EQ(element[1], 239);
    EXPECT_EQ(snmp_setLength(element, 240), SNMP_EXIT_TOO_LONG);
    EXPECT_EQ(element[1], 239);

    // A 127-octet community and a long identifier make a message of more than 241 octets.
    std::string community(127, 'c');
    std::string oid = "1.3";
    for (int i = 0; i < 60; i++) {
        oid += ".1206";
    }
    uint8_t value[8];
    snmp_encodeNull(value);
    uint8_t buffer[1024];
    EXPECT_EQ(snmp_buildMessage(buffer, sizeof buffer, community.c_str(), SNMP_GET_REQUEST, 1,
                                oid.c_str(), value),
              SNMP_EXIT_TOO_LONG);
}

TEST(SnmpParse, PositionsOfAResponse) {
    snmp_message_t parsed;
    const uint8_t* m = RESPONSE_MINUS_ONE.data();
    EXPECT_EQ(snmp_parseMessage(&parsed, m), 1);
    EXPECT_EQ(parsed.version - m, 2);
    EXPECT_EQ(parsed.community - m, 5);
    EXPECT_EQ(parsed.pdu - m, 13);
    EXPECT_EQ(parsed.request_id - m, 15);
    EXPECT_EQ(parsed.error_status - m, 19);
    EXPECT_EQ(parsed.error_index - m, 22);
    EXPECT_EQ(parsed.varbind_list - m, 25);
    EXPECT_EQ(parsed.varbind - m, 27);
    EXPECT_EQ(parsed.first_varbind, parsed.varbind);
    EXPECT_EQ(parsed.varbind_index, 0);
    EXPECT_EQ(snmp_valueOf(parsed.varbind) - m, 43);
    EXPECT_EQ(snmp_requestIdMatches(&parsed, 359), 1);
    EXPECT_EQ(snmp_requestIdMatches(&parsed, 358), 0);
}

TEST(SnmpDump, LinesOfARequestAndAResponse) {
    EXPECT_EQ(dump(GET_REQUEST),
              "Length: 45\nVersion: 0\nCommunity: mosaic\nPDU length: 30\nPDU type: 160\n"
              "Request ID: 359\nError: 0\nError index: 0\nVarbind list length: \n"
              "Varbind length: \nOID: \nValue length: 0\nValue Typecode: 5\n"
              "==========================\n");
    EXPECT_EQ(dump(RESPONSE_MINUS_ONE),
              "Length: 46\nVersion: 0\nCommunity: mosaic\nPDU length: 31\nPDU type: 162\n"
              "Request ID: 359\nError: 0\nError index: 0\nVarbind list length: \n"
              "Varbind length: \nOID: \nValue length: 1\nValue Typecode: 2\n"
              "Value: 4294967295\n==========================\n");
}

TEST(SnmpDump, StringValuesAndElementsThatAreNoIntegers) {
    // Version and error-status as strings: their lines repeat the number before.
    Bytes message =
        concat({hex("30 2C 04 01 58"), MOSAIC, hex("A2 1F 02 01 07 04 01 00 02 01 03 30 14 30 12"),
                OID_ELEMENT, hex("04 02 68 69")});
    EXPECT_EQ(dump(message),
              "Length: 46\nVersion: 46\nCommunity: mosaic\nPDU length: 31\nPDU type: 162\n"
              "Request ID: 7\nError: 7\nError index: 3\nVarbind list length: \n"
              "Varbind length: \nOID: \nValue length: 2\nValue Typecode: 4\nValue: hi\n"
              "==========================\n");
}

TEST(SnmpDump, EndsEarlyAtAStringOf256Octets) {
    // Only an unchecked message can hold such a value: the dump takes the outer headers as two
    // octets each, so they are left at 0 here.
    Bytes value = hex("04 82 01 00");
    value.resize(value.size() + 256, 'v');
    Bytes message =
        concat({hex("30 00 02 01 00"), MOSAIC, hex("A2 00 02 01 01 02 01 00 02 01 00 30 00 30 00"),
                OID_ELEMENT, value});
    std::string text = dump(message);
    EXPECT_NE(text.find("Value Typecode: 4\nValue of length 256 is too long.\n"),
              std::string::npos);
    EXPECT_EQ(text.find("====="), std::string::npos);
}

TEST(SnmpCheck, AcceptsWellFormedMessages) {
    for (const Bytes& message : {GET_REQUEST, SET_REQUEST, RESPONSE_MINUS_ONE}) {
        const char* why = nullptr;
        EXPECT_EQ(snmp_checkMessage(message.data(), message.size(), &why), SNMP_OK) << why;
        Bytes trailing = concat({message, hex("00 00")});
        EXPECT_EQ(snmp_checkMessage(trailing.data(), trailing.size(), &why), SNMP_OK) << why;
    }
}

TEST(SnmpCheck, RefusesEveryTruncation) {
    for (size_t size = 0; size < RESPONSE_MINUS_ONE.size(); size++) {
        // An exact-size copy lets the address sanitizer see any read past the end.
        Bytes received(RESPONSE_MINUS_ONE.begin(), RESPONSE_MINUS_ONE.begin() + long(size));
        const char* why = nullptr;
        EXPECT_EQ(snmp_checkMessage(received.data(), received.size(), &why), SNMP_MALFORMED)
            << size;
        EXPECT_NE(why, nullptr);
    }
}

TEST(SnmpCheck, RefusesShapesTheFixedPositionsCannotHold) {
    struct Case {
        Bytes message;
        const char* why;
    } cases[] = {
        {concat({hex("30 81 2C 02 01 00"), MOSAIC,
                 hex("A2 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "message length is in the long form"},
        {concat({hex("30 2D 02 02 00 00"), MOSAIC,
                 hex("A2 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "version is not a three-octet element"},
        {concat({hex("30 2D 02 01 00"), MOSAIC,
                 hex("A2 81 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "PDU length is in the long form"},
        {concat({hex("30 2D 02 01 00"), MOSAIC,
                 hex("A2 20 02 02 01 67 02 01 00 02 01 00 30 81 13 30 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "varbind list length is in the long form"},
        {concat({hex("30 2D 02 01 00"), MOSAIC,
                 hex("A2 20 02 02 01 67 02 01 00 02 01 00 30 14 30 81 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "varbind length is in the long form"},
        {concat({hex("30 2C 02 01 00"), hex("04 46 6D 6F 73 61 69 63"),
                 hex("A2 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "community runs past the message"},
        {concat({hex("30 2C 02 01 00"), MOSAIC,
                 hex("A2 7F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "PDU runs past the message"},
        {concat({hex("30 2C 02 01 00"), MOSAIC,
                 hex("A2 1F 02 84 FF FF FF FF 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 01 FF")}),
         "request-id runs past the PDU"},
        {concat({hex("30 2C 02 01 00"), MOSAIC,
                 hex("A2 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 03 FF")}),
         "varbind value runs past the varbind"},
        {concat({hex("30 2C 02 01 00"), MOSAIC,
                 hex("A2 1F 02 02 01 67 02 01 00 02 01 00 30 13 30 11"), OID_ELEMENT,
                 hex("02 80 FF")}),
         "varbind value runs past the varbind"},
    };
    for (const Case& c : cases) {
        const char* why = nullptr;
        EXPECT_EQ(snmp_checkMessage(c.message.data(), c.message.size(), &why), SNMP_MALFORMED);
        EXPECT_STREQ(why, c.why);
    }
}

// Whatever the octets, the check stays inside them, and a message it accepts can be parsed,
// dumped and read without leaving them either (the sanitizers watch the exact-size copies).
}  // namespace
