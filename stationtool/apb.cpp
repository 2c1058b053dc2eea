#include "apb.h"

#include <sys/random.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config.h"
#include "snmp.h"
#include "udp.h"

static void _printError(const char* what, int error) {
    fputs(what, stderr);
    fprintf(stderr, "%s\n", strerror(error));
}

int _apb_connect(const char* host, uint16_t port) {
    // By udp_step_t; a host without an IPv4 address has messages of its own.
    static const char* const failures[] = {"", "Could not get socket:\n",
                                           "Could not set socket timeout:\n", "",
                                           "Could not connect to APB:\n"};
    udp_socket_t sock = udp_connect(host, port, APB_RECEIVE_TIMEOUT_S, true);
    if (sock.failed == UDP_ADDRESS) {
        fputs(sock.error == EAFNOSUPPORT ? "Unexpected host type\nCould not get APB sockaddr\n"
                                         : "Could not get APB sockaddr\n",
              stderr);
    } else if (sock.fd < 0) {
        _printError(failures[sock.failed], sock.error);
    }
    return sock.fd;
}

int apb_openSocket(unsigned id) {
    if (id > APB_MAX_ID) {
        fputs("Could not get APB sockaddr\n", stderr);
        return -1;
    }
    char address[16] = "000.000.000.000";
    snprintf(address, sizeof address, "192.168.0.%u", id + 10);
    return _apb_connect(address, APB_SNMP_PORT);
}

uint32_t _apb_drawRequestId() {
    uint32_t seed;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed)) {
        seed = uint32_t(time(nullptr)) ^ uint32_t(getpid());
    }
    return seed % 1024;
}

static bool _ignore(size_t size, const char* why) {
    fprintf(stderr, "Ignored a datagram of %zu octets: %s\n", size, why);
    return false;
}

// The first INTEGER of the answer that holds no number of -2^31 .. 2^32 - 1 (a wider one would
// have to be cut to 32 bits and could then pass for ours), or null. Other tags are left to the
// checks that read each element.
static const char* _wideInteger(const snmp_message_t* parsed) {
    const struct {
        const uint8_t* element;
        const char* why;
    } integers[] = {
        {parsed->request_id, "request-id is no INTEGER of 32 bits"},
        {parsed->error_status, "error-status is no INTEGER of 32 bits"},
        {parsed->error_index, "error-index is no INTEGER of 32 bits"},
        {snmp_valueOf(parsed->varbind), "value is no INTEGER of 32 bits"},
    };
    for (const auto& integer : integers) {
        uint32_t number;
        int read = snmp_decodeInteger(integer.element, &number);
        if (read != SNMP_OK && read != SNMP_WRONG_TYPE) {
            return integer.why;
        }
    }
    return nullptr;
}

// Whether the `size` octets received answer this request: an SNMPv1 GetResponse with its
// request-id, the community and the object identifier `oid`, every INTEGER of 32 bits. Anything
// else is reported and ignored.
static bool _isTheAnswer(const uint8_t* message, size_t size, uint32_t request_id,
                         const char* oid) {
    const char* why = "";
    if (snmp_checkMessage(message, size, &why) != SNMP_OK) {
        return _ignore(size, why);
    }
    snmp_message_t parsed;
    snmp_parseMessage(&parsed, message);
    uint32_t version;
    if (snmp_decodeInteger(parsed.version, &version) != SNMP_OK || version != 0) {
        return _ignore(size, "version is not 0 (SNMPv1)");
    }
    char text[64];
    if (snmp_typeOf(parsed.pdu) != SNMP_GET_RESPONSE) {
        snprintf(text, sizeof text, "PDU type %u is no GetResponse", snmp_typeOf(parsed.pdu));
        return _ignore(size, text);
    }
    if ((why = _wideInteger(&parsed)) != nullptr) {
        return _ignore(size, why);
    }
    if (!snmp_requestIdMatches(&parsed, request_id)) {
        snprintf(text, sizeof text, "it answers another request-id than %u", request_id);
        return _ignore(size, text);
    }
    if (snmp_typeOf(parsed.community) != SNMP_OCTET_STRING ||
        snmp_compareOctetString(APB_COMMUNITY, parsed.community) != 0) {
        return _ignore(size, "another community");
    }
    if (snmp_compareOID(oid, parsed.varbind) != 0) {
        return _ignore(size, "another object identifier");
    }
    return true;
}

// Receives one datagram, waiting no longer than APB_RECEIVE_TIMEOUT_S after `sent`; its size, or
// -1 with errno set (EAGAIN once the time is up).
static ssize_t _receiveBefore(int fd, uint8_t* buffer, size_t size, const struct timespec* sent) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = APB_RECEIVE_TIMEOUT_S * 1000000LL - (now.tv_sec - sent->tv_sec) * 1000000LL -
                     (now.tv_nsec - sent->tv_nsec) / 1000;
    if (left <= 0) {
        errno = EAGAIN;
        return -1;
    }
    struct timeval timeout = {time_t(left / 1000000), suseconds_t(left % 1000000)};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        return -1;
    }
    return recv(fd, buffer, size, MSG_WAITALL);
}

// Receives until the answer to this request comes; its size, or -1 with errno set.
static ssize_t _receiveAnswer(int fd, uint8_t* buffer, size_t size, uint32_t request_id,
                              const char* oid) {
    struct timespec sent;
    clock_gettime(CLOCK_MONOTONIC, &sent);
    for (;;) {
        ssize_t received = _receiveBefore(fd, buffer, size, &sent);
        if (received < 0 || _isTheAnswer(buffer, size_t(received), request_id, oid)) {
            return received;
        }
    }
}

// Reads the error-status and the INTEGER value of the answer into `number`; 0, or -1 after the
// reason and `refused`.
static int _readAnswer(const uint8_t* buffer, uint32_t* number, const char* refused) {
    snmp_message_t response;
    snmp_parseMessage(&response, buffer);
    uint32_t status = 0;
    const uint8_t* answer = snmp_valueOf(response.varbind);
    char reason[64] = "";
    if (snmp_decodeInteger(response.error_status, &status) != SNMP_OK) {
        snprintf(reason, sizeof reason, "Response error-status is not an INTEGER\n");
    } else if (status != 0) {
        snprintf(reason, sizeof reason, "SNMP error received\n");
    } else if (snmp_decodeInteger(answer, number) != SNMP_OK) {
        snprintf(reason, sizeof reason, "Response value is not an INTEGER but of type %u\n",
                 unsigned(snmp_typeOf(answer)));
    }
    if (reason[0] != '\0') {
        fprintf(stderr, "%s%s", reason, refused);
        return -1;
    }
    return 0;
}

// One request and its answer. `sent` is the value of a set, null for a get; the number read
// from the answer goes to `number`.
static int _exchange(const char* oid, unsigned id, uint32_t request_id, const int32_t* sent,
                     uint32_t* number, apb_opener_t open) {
    printf("Using OID: %s\n", oid);
    printf("ID is: %d\n", int(id));
    if (sent != nullptr) {
        printf("Value is: %d\n", *sent);
    }
    const char* refused = sent != nullptr ? "Set Request was not correctly accepted\n" : "";

    uint8_t value[8];
    if (sent != nullptr) {
        snmp_encodeInteger(value, uint32_t(*sent));
    } else {
        snmp_encodeNull(value);
    }
    uint8_t buffer[APB_MESSAGE_SIZE];
    int size = snmp_buildMessage(buffer, sizeof buffer, APB_COMMUNITY,
                                 sent != nullptr ? SNMP_SET_REQUEST : SNMP_GET_REQUEST, request_id,
                                 oid, value);
    if (size == SNMP_EXIT_TOO_LONG) {
        return size;
    }
    if (size < 0) {
        fprintf(stderr, "Cannot build an SNMP message for OID %s\n", oid);
        return -1;
    }
    if (size >= int(sizeof buffer)) {
        fputs("snmpmessagesize was too big for buffer", stderr);
        return -1;
    }
    snmp_printMessage(stdout, buffer);
    // The request is on screen before a silent station keeps us waiting.
    fflush(stdout);

    int fd = open(id);
    if (fd < 0) {
        return -1;
    }
    const char* failed = nullptr;
    if (send(fd, buffer, size_t(size), MSG_NOSIGNAL) != size) {
        failed = "couldn't send all the message:\n";
    } else if (_receiveAnswer(fd, buffer, sizeof buffer, request_id, oid) < 0) {
        failed = "Did not or could not receive the message:\n";
    }
    int error = errno;
    close(fd);
    if (failed != nullptr) {
        _printError(failed, error);
        return -1;
    }
    snmp_printMessage(stdout, buffer);
    return _readAnswer(buffer, number, refused);
}

int _apb_getOID(const char* oid, unsigned id, uint32_t request_id, uint32_t* value,
                apb_opener_t open) {
    uint32_t number = 0;
    int result = _exchange(oid, id, request_id, nullptr, &number, open);
    if (result < 0) {
        return result;
    }
    *value = number;
    return 0;
}

int _apb_setOID(const char* oid, unsigned id, uint32_t request_id, int32_t value,
                apb_opener_t open) {
    uint32_t number = 0;
    int result = _exchange(oid, id, request_id, &value, &number, open);
    if (result < 0) {
        return result;
    }
    if (number != uint32_t(value)) {
        fputs("Set value was not what was expected\n", stderr);
        fputs("Set Request was not correctly accepted\n", stderr);
        return -1;
    }
    return 0;
}

// The object identifier of `setting` into `oid`; 0, or the failure of the look-up.
static int _settingOID(const char* setting, char* oid, size_t size) {
    int found = config_getOID(setting, oid, size);
    if (found < 0 && found != CONFIG_CLOSE_FAILED) {
        fputs("Couldn't get OID\n", stderr);
        return -1;
    }
    return found;
}

int apb_snmpGet(const char* setting, unsigned id, uint32_t* value) {
    char oid[256];
    int found = _settingOID(setting, oid, sizeof oid);
    return found < 0 ? found : _apb_getOID(oid, id, _apb_drawRequestId(), value, apb_openSocket);
}

int apb_snmpSet(const char* setting, unsigned id, int32_t value) {
    char oid[256];
    int found = _settingOID(setting, oid, sizeof oid);
    return found < 0 ? found : _apb_setOID(oid, id, _apb_drawRequestId(), value, apb_openSocket);
}
