// stationtool: reads or writes one setting of one APB station over SNMP; the object identifier,
// and the value when none is given, come from the configuration database.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "apb.h"
#include "cli.h"
#include "config.h"
#include "snmp.h"

#define USAGE_LINES                                                         \
    "Useage: stationtool ID set SETTING [ VALUE ]\n"                        \
    "        stationtool ID get SETTING\n"                                  \
    "ID := { 0 , 1 ... , 16 }\n"                                            \
    "SETTING := see v_sendtostation in config.sql\n"                        \
    "VALUE := setting dependent value. see v_sendtostation in config.sql\n" \
    "\n"

static const char* const HELP = USAGE_LINES
    "Options, before ID:\n"
    "  -q, --quiet   print only the value read (get), nothing on success (set)\n"
    "  -h, --help    this text\n"
    "  --version     the program's version\n";

static void printUsage(FILE* stream) {
    fputs(USAGE_LINES, stream);
}

// Scans one whole decimal number (blanks around it allowed, nothing else). The number is read
// wide so that a text beyond 32 bits is seen as out of range rather than wrapped onto a small one.
static bool _scanNumber(const char* text, long long* number) {
    char extra[2];
    return sscanf(text, "%lld %1s", number, extra) == 1;
}

static bool _isQuiet(const char* arg) {
    return strcmp(arg, "-q") == 0 || strcmp(arg, "--quiet") == 0;
}

// Whether `setting` is one of the ", "-separated names.
static bool _listed(const char* names, const char* setting) {
    size_t length = strlen(setting);
    if (length == 0) {
        return false;
    }
    for (const char* at = strstr(names, setting); at != nullptr; at = strstr(at + 1, setting)) {
        bool starts = at == names || at[-1] == ' ';
        bool ends = at[length] == ',' || at[length] == '\0';
        if (starts && ends) {
            return true;
        }
    }
    return false;
}

// After a failure, names the settings there are when the database does not know `setting`.
static void _hintSettings(const char* setting) {
    char names[2048];
    if (config_listSettings(names, sizeof names) > 0 && !_listed(names, setting)) {
        fprintf(stderr, "Valid settings: %s\n", names);
    }
}

// The exit status after a failed step. A failure that ends the run at once has been reported in
// full already: a database that would not close again (-1), a request that outgrows the short
// length form (-123). Any other gets the summary line, `summary` and `subject`, and the hint.
static int _failed(int result, const char* setting, const char* summary, const char* subject = "") {
    if (result == SNMP_EXIT_TOO_LONG) {
        return result;
    }
    if (result != CONFIG_CLOSE_FAILED) {
        fprintf(stderr, "%s%s\n", summary, subject);
        _hintSettings(setting);
    }
    return -1;
}

// The exchange reports its progress on standard output. In quiet mode that output goes to
// /dev/null until the result is known; the descriptor of the real standard output, or -1.
static int _silenceProgress() {
    fflush(stdout);
    int real = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    bool silenced = real >= 0 && null >= 0 && dup2(null, STDOUT_FILENO) >= 0;
    if (null >= 0) {
        close(null);
    }
    if (!silenced) {
        perror("Unable to silence the progress output");
        if (real >= 0) {
            close(real);
        }
        return -1;
    }
    return real;
}

// Puts the real standard output back; false when that fails.
static bool _restoreOutput(int real) {
    fflush(stdout);
    bool restored = dup2(real, STDOUT_FILENO) >= 0;
    close(real);
    return restored;
}

int main(int argc, char** argv) {
    if (argc > 1 && cli_isStandard(argv[1])) {
        return cli_answer(argv[1], "stationtool", HELP);
    }
    bool quiet = argc > 1 && _isQuiet(argv[1]);
    if (quiet) {  // the rest of the command line reads as without it
        ++argv;
        --argc;
    }
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

    int realOutput = quiet ? _silenceProgress() : -1;
    if (quiet && realOutput < 0) {
        return -1;
    }

    if (get) {
        uint32_t value;
        int result = apb_snmpGet(setting, unsigned(id), &value);
        if (result < 0) {
            return _failed(result, setting, "Unable to get setting");
        }
        if (quiet) {
            // The station's INTEGER, signed as the database holds the setting.
            if (!_restoreOutput(realOutput) || printf("%d\n", int32_t(value)) < 0 ||
                fflush(stdout) != 0) {
                perror("Unable to print the value");
                return -1;
            }
        }
        return 0;
    }

    int32_t value = int32_t(uint32_t(given));
    int result = haveValue ? 0 : config_getSetting(setting, unsigned(id), &value);
    if (result < 0) {
        return _failed(result, setting, "Unable to get setting value: ", setting);
    }
    result = apb_snmpSet(setting, unsigned(id), value);
    return result < 0 ? _failed(result, setting, "Unable to send setting") : 0;
}
