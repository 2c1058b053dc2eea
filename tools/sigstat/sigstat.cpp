// sigstat: asks the CID once for the intersection status and prints it.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bson.h"
#include "cid.h"
#include "cli.h"
#include "sigstat.h"

static const char* const USAGE =
    "Usage: sigstat [--nifty | --hex | --xml | --json | --binary]\n"
    "Asks the CID once for the intersection status and prints it: a summary line of\n"
    "the pedestrian signals (--nifty, also any other or no argument), walk, don't\n"
    "walk and clearance in hexadecimal (--hex), eight tagged lines (--xml), indented\n"
    "text (--json) or the raw BSON document (--binary).\n";

static uint8_t buffer[CID_BUFFER_SIZE];

static void _report(const char* function, const char* text) {
    fprintf(stderr, "%s: %s\n", function, text);
}

// One line of `text`, with the errno description after it when `withErrno`; sock closed.
static int _fail(int sock, const char* text, bool withErrno = false) {
    int saved = errno;
    _report("cid_getIntersecionData", text);
    if (withErrno) {
        _report("cid_getIntersecionData", strerror(saved));
    }
    if (sock >= 0) {
        close(sock);
    }
    return -1;
}

// Sends the status query on sock (closed on every path), receives the answer into buffer and
// fills status from it. The byte count received, or -1.
static int cid_getIntersecionData(int sock, cid_status* status) {
    bson_builder builder;
    if (bson_init(&builder, buffer, sizeof buffer) < 0) {
        return _fail(sock, "Unable to create CID request");
    }
    bson_appendInt(&builder, "t", CID_INTERSECTION_STATUS);
    if (bson_finish(&builder) < 0) {
        return _fail(sock, "Unable to finalize CID request");
    }
    cid_queryStep failed;
    ssize_t received = cid_query(sock, buffer, bson_length(buffer), sizeof buffer, &failed);
    if (received < 0) {
        return _fail(sock,
                     failed == CID_QUERY_SEND ? "Unable to send CID request:"
                                              : "Unable to recv CID request:",
                     true);
    }
    close(sock);
    if (sigstat_parse(buffer, static_cast<size_t>(received), status) < 0) {
        return -1;
    }
    return static_cast<int>(received);
}

int main(int argc, char** argv) {
    if (argc > 1 && cli_isStandard(argv[1])) {
        return cli_answer(argv[1], "sigstat", USAGE);
    }
    sigstat_form form = sigstat_chooseForm(argc > 1 ? argv[1] : nullptr);
    cid_status status;
    int sock = cid_getSocket();
    int received = sock < 0 ? -1 : cid_getIntersecionData(sock, &status);
    if (received < 0) {
        _report("main", "Unable to get intersection data");
        return -1;
    }
    if (form == SIGSTAT_BINARY) {
        ssize_t written = write(1, buffer, bson_length(buffer));
        if (written != static_cast<ssize_t>(bson_length(buffer))) {
            // A script must not take a cut document for the whole answer.
            _report("main", "Write didn't write the correct amount");
            return -1;
        }
        return 0;
    }
    if (form == SIGSTAT_JSON) {
        bson_print(stdout, buffer);
        return 0;
    }
    sigstat_write(stdout, form, &status);
    return 0;
}
