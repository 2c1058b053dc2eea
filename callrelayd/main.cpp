// callrelayd: relays the button events of the pedestrian stations to the CID and pushes each
// station its configuration on request. Takes no arguments; runs in the foreground.
#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdlib>

#include "cid.h"
#include "daemon.h"
#include "log.h"

int main() {
    logInit();
    logInfo("starting", 0);
    Socket listener;
    Socket cid;
    if (initCommunication(CALLRELAYD_PORT, CID_HOST, CID_PORT, listener, cid) < 0) {
        logError("Error initializing communication", 0);
        exit(-1);
    }
    signal(SIGCHLD, onChildExit);
    // Listening: the supervisor may count it as started. NOTIFY_SOCKET goes with the message, so
    // the children, which have nothing to report, do not inherit it.
    sd_notify(1, "READY=1");
    RelayTargets targets{cid.fd(), CONFIG_DATABASE, STATION_BASE_ADDRESS, STATION_CONFIG_PORT};
    serveStations(listener, targets);
    exit(-1);  // a fork failed
}
