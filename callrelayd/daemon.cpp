#include "daemon.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "event.h"
#include "log.h"

namespace {

int openListener(uint16_t port, Socket& listener) {
    listener = Socket(AF_INET, SOCK_STREAM, 0);
    if (listener.fd() < 0) {
        logWarning("Error creating socket", 1);
        return -1;
    }
    int reuse = 1;
    int result = setsockopt(listener.fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (result < 0) {
        logWarning("Error setting socket reuse", 1);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        result = bind(listener.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (result < 0) {
            logWarning("Error binding socket", 1);
        } else {
            result = listen(listener.fd(), LISTEN_BACKLOG);
            if (result < 0) {
                logWarning("Error setting socket to listen", 1);
            }
        }
    }
    if (result < 0) {
        listener.close();
    }
    return result;
}

}  // namespace

int openCidSocket(const char* cidHost, uint16_t cidPort, Socket& cid) {
    cid = Socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (cid.fd() < 0) {
        logError("Error opening CID socket", 0);
        return cid.fd();
    }
    hostent* host = gethostbyname(cidHost);
    if (host == nullptr || host->h_addr_list[0] == nullptr || host->h_length != 4) {
        logError("Error getting hostname", 0);
        cid.close();
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(cidPort);
    memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
    int result = connect(cid.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result < 0) {
        logError("Error connecting to CID", 1);
        cid.close();
        return result;
    }
    return 0;
}

int initCommunication(uint16_t port, const char* cidHost, uint16_t cidPort, Socket& listener,
                      Socket& cid) {
    int result = openListener(port, listener);
    if (result < 0) {
        return result;
    }
    result = openCidSocket(cidHost, cidPort, cid);
    if (result < 0) {
        listener.close();
    }
    return result;
}

int acceptConnection(const Socket& listener, Socket& connection) {
    connection = Socket(accept(listener.fd(), nullptr, nullptr));
    if (connection.fd() < 0) {
        logWarning("Error accepting connection", 1);
        return -1;
    }
    return 0;
}

void onChildExit(int) {
    // Signals of children that end together merge into one, so reap until none is left.
    int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

int serveStations(Socket& listener, const RelayTargets& targets) {
    for (;;) {
        Socket connection;
        while (acceptConnection(listener, connection) < 0) {
        }
        pid_t pid = fork();
        if (pid < 0) {
            return -1;
        }
        if (pid == 0) {
            serveStation(listener, connection, targets);
        }
        // The parent's copy of the connection closes here; the child keeps its own.
    }
}

void serveStation(Socket& listener, Socket& connection, const RelayTargets& targets) {
    listener.close();
    logInfo("Child started", 0);
    for (;;) {
        APBEvent event = receiveEvent(connection.fd());
        if (event == nullEvent) {
            logError("Invalid event received", 0);
            exit(-1);
        }
        relayEvent(event, targets);
    }
}
