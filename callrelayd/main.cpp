// callrelayd: relays the button events of the pedestrian stations to the CID and pushes each
// station its configuration on request. Takes no arguments; runs in the foreground.
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
    installSignalHandlers();
    RelayTargets targets{cid.fd(), CONFIG_DATABASE, STATION_BASE_ADDRESS, STATION_CONFIG_PORT};
    serveStations(listener, targets);
}
