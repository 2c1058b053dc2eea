// callrelayd: relays the button events of the pedestrian stations to the CID and pushes each
// station its configuration on request. Takes no arguments; runs in the foreground.
#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "cid.h"
#include "cli.h"
#include "daemon.h"
#include "log.h"

static const char* const USAGE =
    "Usage: callrelayd [--help | --version]\n"
    "Relays the button events of the pedestrian stations (TCP port 50005) to the CID\n"
    "(UDP 127.0.0.1:5000) and pushes a station its configuration from\n"
    "/var/lib/vok/config.db when it asks. Takes no other arguments; runs in the\n"
    "foreground and logs to syslog and standard error.\n";

int main(int argc, char** argv) {
    if (int status; cli_endsDaemon(argc, argv, "callrelayd", USAGE, &status)) {
        return status;
    }
    logInit();
    logInfo("starting", 0);
    Socket listener;
    Socket cid;
    if (initCommunication(CALLRELAYD_PORT, CID_HOST, CID_PORT, listener, cid) < 0) {
        logError("Error initializing communication", 0);
        exit(-1);
    }
    installSignalHandlers();
    // Listening: the supervisor may count it as started. NOTIFY_SOCKET goes with the message, so
    // the children, which have nothing to report, do not inherit it.
    sd_notify(1, "READY=1");
    RelayTargets targets{cid.fd(), CONFIG_DATABASE, STATION_BASE_ADDRESS, STATION_CONFIG_PORT};
    // Only a child comes back, when its connection has ended.
    return serveStations(listener, targets);
}
