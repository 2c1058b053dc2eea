// An SNMP response as stationtool reads it: the codec's check, parse, readers and dump over the
// bytes received, and the whole get and set exchanges of stationtool with the input as the
// agent's answer (through a socket pair handed to the exchange as the agent's socket).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "apb.h"
#include "capture.h"
#include "fuzz_check.h"
#include "snmp.h"

namespace {

const char* const OID = "1.3.6.1.4.1.1206.4.2.14.7.3";

// The answer the next exchange receives, and the agent's end of its socket pair.
const uint8_t* answer = nullptr;
size_t answerSize = 0;
int agentEnd = -1;

// The exchange's end does not block: once the answer is read, a wait for another ends at once.
int answeringAgent(unsigned) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, ends) != 0) {
        return -1;
    }
    if (send(ends[1], answer, answerSize, 0) != static_cast<ssize_t>(answerSize)) {
        close(ends[0]);
        close(ends[1]);
        return -1;
    }
    agentEnd = ends[1];
    return ends[0];
}

void closeAgent() {
    if (agentEnd >= 0) {
        close(agentEnd);
        agentEnd = -1;
    }
}

size_t lines(const std::string& text) {
    size_t count = 0;
    for (char c : text) {
        count += c == '\n';
    }
    return count;
}

// The readers and the dump over a message that the check accepted.
void readAccepted(const uint8_t* message, size_t size) {
    snmp_message_t parsed;
    FUZZ_CHECK(snmp_parseMessage(&parsed, message) == 1);
    const uint8_t* const elements[] = {parsed.version,      parsed.community,    parsed.pdu,
                                       parsed.request_id,   parsed.error_status, parsed.error_index,
                                       parsed.varbind_list, parsed.varbind};
    for (const uint8_t* element : elements) {
        FUZZ_CHECK(fuzz::inside(element, snmp_elementSize(element), message, size));
    }
    const uint8_t* value = snmp_valueOf(parsed.varbind);
    FUZZ_CHECK(fuzz::inside(value, snmp_elementSize(value), parsed.varbind,
                            snmp_elementSize(parsed.varbind)));
    uint32_t number = 0;
    snmp_decodeInteger(value, &number);
    snmp_decodeInteger(parsed.error_status, &number);
    snmp_requestIdMatches(&parsed, 359);
    snmp_compareOID(OID, parsed.varbind);
    snmp_compareOID("1.3", parsed.varbind);
    snmp_compareOctetString("mosaic", parsed.community);
    uint8_t copy[255];
    snmp_copyOctetString(value, copy, sizeof copy);

    std::string dump = captured([&](FILE* stream) { snmp_printMessage(stream, message); });
    // Whole lines only; the closing line, unless the dump ended early at a long string.
    FUZZ_CHECK(!dump.empty() && dump.back() == '\n');
    bool closed =
        dump.size() >= 27 && dump.compare(dump.size() - 27, 27, std::string(26, '=') + "\n") == 0;
    FUZZ_CHECK(closed || dump.find("is too long.\n") != std::string::npos || lines(dump) == 2);
    FUZZ_CHECK(dump.rfind("Length: ", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The exchanges print the operator's dump of every message.
    return std::freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // stationtool receives at most 1024 octets.
    size = size > APB_MESSAGE_SIZE ? APB_MESSAGE_SIZE : size;
    auto held = fuzz::exactCopy(data, size);
    const char* why = nullptr;
    bool accepted = snmp_checkMessage(held.get(), size, &why) == SNMP_OK;
    FUZZ_CHECK(accepted || (why != nullptr && *why != '\0'));
    if (accepted) {
        readAccepted(held.get(), size);
    }

    answer = held.get();
    answerSize = size;
    uint32_t got = 0;
    int getResult = _apb_getOID(OID, 3, 359, &got, answeringAgent);
    closeAgent();
    int setResult = _apb_setOID(OID, 3, 359, 42, answeringAgent);
    closeAgent();
    // An exchange succeeds only on a response that the check accepts.
    FUZZ_CHECK(getResult == -1 || (getResult == 0 && accepted));
    FUZZ_CHECK(setResult == -1 || (setResult == 0 && accepted && getResult == 0 && got == 42));
    return 0;
}
