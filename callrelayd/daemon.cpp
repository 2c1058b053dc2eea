#include "daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "event.h"
#include "log.h"
#include "udp.h"

namespace {

// The parent's record of the child that serves each station's newest connection, 0 for none.
// The parent changes it only with SIGCHLD blocked; onChildExit clears the children it reaps.
volatile pid_t stationChild[MAX_STATION_ID + 1];

// In a child: the connection it serves, and whether its station has connected anew since.
volatile sig_atomic_t servedConnection = -1;
volatile sig_atomic_t replaced = 0;

// SIGUSR1 in a child. Shutting the reading side makes a waiting recv return what has already
// arrived and then the end, so the child relays every whole message it got and then ends.
void onReplaced(int) {
    int saved = errno;
    replaced = 1;
    if (servedConnection >= 0) {
        shutdown(servedConnection, SHUT_RD);
    }
    errno = saved;
}

// Holds `signal` back from delivery while it lives.
class SignalBlock {
  public:
    explicit SignalBlock(int signal) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        sigprocmask(SIG_BLOCK, &set, &saved_);
    }
    ~SignalBlock() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

  private:
    sigset_t saved_;
};

int openListener(uint16_t port, Socket& listener) {
    listener = Socket(AF_INET, SOCK_STREAM, 0);
    int reuse = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const auto* bound = reinterpret_cast<const sockaddr*>(&address);
    const int fd = listener.fd();
    const char* failed = fd < 0 ? "Error creating socket"
                         : setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0
                             ? "Error setting socket reuse"
                         : bind(fd, bound, sizeof address) < 0 ? "Error binding socket"
                         : listen(fd, LISTEN_BACKLOG) < 0      ? "Error setting socket to listen"
                                                               : nullptr;
    if (failed != nullptr) {
        logWarning(failed, 1);
        listener.close();
        return -1;
    }
    return 0;
}

}  // namespace

int openCidSocket(const char* cidHost, uint16_t cidPort, Socket& cid) {
    udp_socket_t sock = udp_connect(cidHost, cidPort, 0, true);
    cid = Socket(sock.fd);
    errno = sock.error;
    if (sock.failed == UDP_SOCKET) {
        logError("Error opening CID socket", 0);
    } else if (sock.failed == UDP_ADDRESS) {
        logError("Error getting hostname", 0);
    } else if (sock.failed == UDP_CONNECT) {
        logError("Error connecting to CID", 1);
    }
    return sock.fd < 0 ? -1 : 0;
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

int acceptConnection(const Socket& listener, Socket& connection, sockaddr_in& peer) {
    socklen_t length = sizeof peer;
    connection = Socket(accept(listener.fd(), reinterpret_cast<sockaddr*>(&peer), &length));
    if (connection.fd() < 0) {
        logWarning("Error accepting connection", 1);
        return -1;
    }
    return 0;
}

int32_t stationOf(const sockaddr_in& peer, uint32_t stationBase) {
    uint32_t offset = ntohl(peer.sin_addr.s_addr) - stationBase;
    return peer.sin_family == AF_INET && offset <= MAX_STATION_ID ? static_cast<int32_t>(offset)
                                                                  : -1;
}

void installSignalHandlers() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = onChildExit;
    sigaction(SIGCHLD, &action, nullptr);
    action.sa_handler = onReplaced;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGPIPE, &action, nullptr);
    // A child unblocks it once it knows its connection; one sent before then waits for it.
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGUSR1);
    sigprocmask(SIG_BLOCK, &held, nullptr);
}

void onChildExit(int) {
    // Signals of children that end together merge into one, so reap until none is left.
    int saved = errno;
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
        for (volatile pid_t& child : stationChild) {
            if (child == pid) {
                child = 0;
            }
        }
    }
    errno = saved;
}

namespace {

void refuse(const sockaddr_in& peer) {
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    char text[96];
    snprintf(text, sizeof text, "Refused connection from %s, not a station", address);
    logWarning(text, 0);
}

// Called with SIGCHLD blocked, so that the older child cannot have been reaped (and its pid
// given to another process) between reading its entry and signalling it.
void replaceChild(int32_t station, pid_t pid) {
    pid_t older = stationChild[station];
    stationChild[station] = pid;
    if (older > 0) {
        kill(older, SIGUSR1);
    }
}

void keepAlive(int connection) {
    const int settings[][3] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                               {IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S},
                               {IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S},
                               {IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES}};
    for (const auto& setting : settings) {
        if (setsockopt(connection, setting[0], setting[1], &setting[2], sizeof setting[2]) < 0) {
            logWarning("Error setting keepalive", 1);
            return;
        }
    }
}

// From here on a SIGUSR1 ends the child once its connection has been read to the end.
void watchForReplacement(int connection) {
    servedConnection = connection;
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGUSR1);
    sigaddset(&held, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

// Logs why the child ends; its exit status.
int endChild(Received received) {
    if (replaced) {
        logInfo("Station reconnected", 0);
        return 0;
    }
    if (received == Received::END) {
        logInfo("Station disconnected", 0);
        return 0;
    }
    logError("Invalid event received", 0);
    return -1;
}

void skipForeign(const APBEvent& event, int32_t station) {
    char text[80];
    snprintf(text, sizeof text, "Event of station %d on the connection of station %d skipped",
             static_cast<int>(event.stationId), static_cast<int>(station));
    logWarning(text, 0);
}

}  // namespace

int serveStations(Socket& listener, const RelayTargets& targets) {
    for (;;) {
        Socket connection;
        sockaddr_in peer{};
        while (acceptConnection(listener, connection, peer) < 0) {
        }
        int32_t station = stationOf(peer, targets.stationBase);
        if (station < 0) {
            refuse(peer);
            continue;
        }
        SignalBlock reaping(SIGCHLD);
        pid_t pid = fork();
        if (pid < 0) {
            logError("Error forking child", 1);
            continue;
        }
        if (pid == 0) {
            return serveStation(listener, connection, station, targets);
        }
        replaceChild(station, pid);
        // The parent's copy of the connection closes here; the child keeps its own.
    }
}

int serveStation(Socket& listener, Socket& connection, int32_t station,
                 const RelayTargets& targets) {
    listener.close();
    watchForReplacement(connection.fd());
    keepAlive(connection.fd());
    logInfo("Child started", 0);
    StationStream stream(connection.fd());
    for (;;) {
        APBEvent event = nullEvent;
        Received received = receiveEvent(stream, event);
        if (received == Received::EVENT && event.stationId == station) {
            relayEvent(event, targets);
        } else if (received == Received::EVENT) {
            skipForeign(event, station);
        } else if (received != Received::SKIPPED) {
            return endChild(received);
        }
    }
}
