// sigcmd: sends one command to the CID from the command line.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bson.h"
#include "cid.h"
#include "cli.h"

// The four values of the one command document this tool sends.
struct sigcmd_command {
    int32_t type;
    int32_t c;
    int32_t r;
    int32_t g;
};

static const char* const USAGE =
    "Useage: \n"
    "sigcmd CALL phasemask\n"
    "CALL := { ped | aps | vok }\n"
    "\n"
    "sigcmd saveapblog\n"
    "sigcmd miireset\n"
    "sigcmd reloadconfig\n"
    "sigcmd status reds greens\n";

// strtol in base 10, saturated to the 32-bit range.
static int32_t _number(const char* text) {
    return static_cast<int32_t>(std::clamp<long>(strtol(text, nullptr, 10), INT32_MIN, INT32_MAX));
}

static bool _is(const char* word, const char* expected) {
    return strcmp(word, expected) == 0;
}

// Fills the command from the arguments after the program name; -1 for a malformed line.
static int _parse(int argc, char** argv, sigcmd_command* command) {
    *command = sigcmd_command{0, 0, 0, 0};
    if (argc == 2) {
        const char* word = argv[1];
        command->type = _is(word, "miireset")       ? CID_MII_RESET
                        : _is(word, "reloadconfig") ? CID_RELOAD_CONFIG
                        : _is(word, "saveapblog")   ? CID_SAVE_APB_LOG
                                                    : 0;
    } else if (argc == 3) {
        const char* word = argv[1];
        command->type = _is(word, "ped")   ? CID_PED_CALL
                        : _is(word, "aps") ? CID_APS_CALL
                        : _is(word, "vok") ? CID_VOK_CALL
                                           : 0;
        command->c = _number(argv[2]);
    } else if (argc == 4 && _is(argv[1], "status")) {
        command->type = CID_APB_STATUS_REPORT;
        command->g = _number(argv[2]);
        command->r = _number(argv[3]);
    }
    return command->type == 0 ? -1 : 0;
}

// Builds {"t", "c", "r", "g"} in buffer; -1 when the document could not be made.
static int _build(const sigcmd_command* command, uint8_t* buffer, uint32_t capacity) {
    bson_builder builder;
    if (bson_init(&builder, buffer, capacity) < 0) {
        return -1;
    }
    bson_appendInt(&builder, "t", command->type);
    bson_appendInt(&builder, "c", command->c);
    bson_appendInt(&builder, "r", command->r);
    bson_appendInt(&builder, "g", command->g);
    return bson_finish(&builder) < 0 ? -1 : 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && cli_isStandard(argv[1])) {
        return cli_answer(argv[1], "sigcmd", USAGE);
    }
    sigcmd_command command;
    if (_parse(argc, argv, &command) < 0) {
        fputs(USAGE, stderr);
        return -1;
    }
    static uint8_t buffer[CID_BUFFER_SIZE];
    if (_build(&command, buffer, sizeof buffer) < 0) {
        fprintf(stderr, "%s: %s\n", "main", "Unable to create CID request.");
        return -1;
    }
    int sock = cid_getSocket();
    if (sock < 0) {
        fprintf(stderr, "%s: %s\n", "main", "Unable to connecto to CID.");
        return -1;
    }
    if (send(sock, buffer, bson_length(buffer), MSG_NOSIGNAL) < 0) {
        int saved = errno;
        fprintf(stderr, "%s: %s\n", "main", "Unable to send to CID");
        fprintf(stderr, "%s: %s\n", "main", strerror(saved));
        close(sock);
        return -1;
    }
    close(sock);
    return 0;
}
