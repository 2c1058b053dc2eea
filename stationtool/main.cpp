// stationtool: reads or writes one setting of one APB station over SNMP; the object identifier,
// and the value when none is given, come from the configuration database.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "apb.h"
#include "config.h"

static void printUsage(FILE* stream) {
    fputs("Useage: stationtool ID set SETTING [ VALUE ]\n", stream);
    fputs("        stationtool ID get SETTING\n", stream);
    fputs("ID := { 0 , 1 ... , 16 }\n", stream);
    fputs("SETTING := see v_sendtostation in config.sql\n", stream);
    fputs("VALUE := setting dependent value. see v_sendtostation in config.sql\n", stream);
    fputc('\n', stream);
}

// Scans one whole decimal number (blanks around it allowed, nothing else). The number is read
// wide so that a text beyond 32 bits is seen as out of range rather than wrapped onto a small one.
static bool _scanNumber(const char* text, long long* number) {
    char extra[2];
    return sscanf(text, "%lld %1s", number, extra) == 1;
}

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        printUsage(stderr);
        return -1;
    }
    bool get = strcmp(argv[2], "get") == 0;
    if (!get && strcmp(argv[2], "set") != 0) {
        printUsage(stderr);
        return -1;
    }
    long long id;
    if (!_scanNumber(argv[1], &id)) {
        fputs("Invalid input\n", stderr);
        printUsage(stderr);
        return -1;
    }
    if (id < 0 || id > APB_MAX_ID) {
        // A number that fits 32 bits shows as the signed reading of those bits (4294967295 as
        // -1, the same as -1 itself); a wider one shows as given.
        long long shown = id >= INT32_MIN && id <= UINT32_MAX ? int32_t(uint32_t(id)) : id;
        fprintf(stderr, "Invalid id: %lld\n", shown);
        return -1;
    }
    const char* setting = argv[3];

    bool haveValue = argc == 5;
    long long given = 0;
    if (haveValue) {
        if (get) {
            fputs("Too many parameters for command\n", stderr);
            return -1;
        }
        // Any 32-bit pattern goes: the station is sent the same octets for 4294967295 as for -1.
        if (!_scanNumber(argv[4], &given) || given < INT32_MIN || given > UINT32_MAX) {
            fputs("Invalid input\n", stderr);
            printUsage(stderr);
            return -1;
        }
    }

    if (get) {
        uint32_t value;
        if (apb_snmpGet(setting, unsigned(id), &value) < 0) {
            fputs("Unable to get setting\n", stderr);
            return -1;
        }
        return 0;
    }

    int32_t value = int32_t(uint32_t(given));
    if (!haveValue && config_getSetting(setting, unsigned(id), &value) < 0) {
        fprintf(stderr, "Unable to get setting value: %s\n", setting);
        return -1;
    }
    if (apb_snmpSet(setting, unsigned(id), value) < 0) {
        fputs("Unable to send setting\n", stderr);
        return -1;
    }
    return 0;
}
