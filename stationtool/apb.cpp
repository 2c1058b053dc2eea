#include "apb.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "snmp.h"

static void _printError(const char* what, int error) {
    fputs(what, stderr);
    fprintf(stderr, "%s\n", strerror(error));
}

int _apb_connect(const char* host, uint16_t port) {
    struct hostent* entry = gethostbyname(host);
    if (entry == nullptr) {
        fputs("Could not get APB sockaddr\n", stderr);
        return -1;
    }
    if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(struct in_addr)) {
        fputs("Unexpected host type\n", stderr);
        fputs("Could not get APB sockaddr\n", stderr);
        return -1;
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);

    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        _printError("Could not get socket:\n", errno);
        return -1;
    }
    struct timeval timeout = {APB_RECEIVE_TIMEOUT_S, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        int error = errno;
        close(fd);
        _printError("Could not set socket timeout:\n", error);
        return -1;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0) {
        int error = errno;
        close(fd);
        _printError("Could not connect to APB:\n", error);
        return -1;
    }
    return fd;
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

// One request and its response. `sent` is the value of a set, null for a get; the number read
// from the response goes to `number`.
static int _exchange(const char* oid, unsigned id, const int32_t* sent, uint32_t* number,
                     apb_opener_t open) {
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
    uint32_t request_id = uint32_t(rand() % 1024);

    uint8_t buffer[APB_MESSAGE_SIZE];
    int size = snmp_buildMessage(buffer, sizeof buffer, APB_COMMUNITY,
                                 sent != nullptr ? SNMP_SET_REQUEST : SNMP_GET_REQUEST, request_id,
                                 oid, value);
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
    if (send(fd, buffer, size_t(size), MSG_NOSIGNAL) != size) {
        int error = errno;
        close(fd);
        _printError("couldn't send all the message:\n", error);
        return -1;
    }
    ssize_t received = recv(fd, buffer, sizeof buffer, MSG_WAITALL);
    if (received < 0) {
        int error = errno;
        close(fd);
        _printError("Did not or could not receive the message:\n", error);
        return -1;
    }
    close(fd);

    // Nothing reads the response before it is known to lie within the octets received.
    const char* why = "";
    if (snmp_checkMessage(buffer, size_t(received), &why) != SNMP_OK) {
        fprintf(stderr, "Response of %zd octets cannot be read: %s\n", received, why);
        fputs(refused, stderr);
        return -1;
    }
    snmp_printMessage(stdout, buffer);

    snmp_message_t response;
    snmp_parseMessage(&response, buffer);
    uint32_t status = 0;
    if (snmp_decodeInteger(response.error_status, &status) != SNMP_OK) {
        fputs("Response error-status is not an INTEGER\n", stderr);
        fputs(refused, stderr);
        return -1;
    }
    if (status != 0) {
        fputs("SNMP error received\n", stderr);
        fputs(refused, stderr);
        return -1;
    }
    const uint8_t* answer = snmp_valueOf(response.varbind);
    if (snmp_decodeInteger(answer, number) != SNMP_OK) {
        fprintf(stderr, "Response value is not an INTEGER but of type %u\n",
                unsigned(snmp_typeOf(answer)));
        fputs(refused, stderr);
        return -1;
    }
    return 0;
}

int _apb_getOID(const char* oid, unsigned id, uint32_t* value, apb_opener_t open) {
    uint32_t number = 0;
    if (_exchange(oid, id, nullptr, &number, open) < 0) {
        return -1;
    }
    *value = number;
    return 0;
}

int _apb_setOID(const char* oid, unsigned id, int32_t value, apb_opener_t open) {
    uint32_t number = 0;
    if (_exchange(oid, id, &value, &number, open) < 0) {
        return -1;
    }
    if (number != uint32_t(value)) {
        fputs("Set value was not what was expected\n", stderr);
        fputs("Set Request was not correctly accepted\n", stderr);
        return -1;
    }
    return 0;
}

int apb_snmpGet(const char* setting, unsigned id, uint32_t* value) {
    char oid[256];
    if (config_getOID(setting, oid, sizeof oid) < 0) {
        fputs("Couldn't get OID\n", stderr);
        return -1;
    }
    return _apb_getOID(oid, id, value, apb_openSocket);
}

int apb_snmpSet(const char* setting, unsigned id, int32_t value) {
    char oid[256];
    if (config_getOID(setting, oid, sizeof oid) < 0) {
        fputs("Couldn't get OID\n", stderr);
        return -1;
    }
    return _apb_setOID(oid, id, value, apb_openSocket);
}
