#include "daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include "event.h"
#include "log.h"
#include "udp.h"

namespace {

using Clock = std::chrono::steady_clock;

// The parent's record of each station's children, newest first, 0 for none: the child serving
// its newest connection, the one draining the connection before, and one older that has stopped
// reading but may still hold commands that the CID refused. The parent changes it only with
// SIGCHLD blocked; onChildExit clears the children it reaps.
volatile pid_t stationChildren[MAX_STATION_ID + 1][STATION_CHILDREN_MAX];

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

int acceptConnection(const Socket& listener, Socket& connection, sockaddr_in& peer,
                     RepeatedWarning& failures) {
    socklen_t length = sizeof peer;
    connection = Socket(accept(listener.fd(), reinterpret_cast<sockaddr*>(&peer), &length));
    if (connection.fd() < 0) {
        int error = errno;
        char text[96];
        snprintf(text, sizeof text, "Error accepting connection-%s", strerror(error));
        failures.log(text);
        errno = error;
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
    action.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGPIPE, &action, nullptr);
    // The parent's word to a child that its station has connected anew (SIGUSR1), or that it
    // is to give up what it holds (SIGUSR2): held for the child to read from a signalfd
    // (StationReader).
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGUSR1);
    sigaddset(&held, SIGUSR2);
    sigprocmask(SIG_BLOCK, &held, nullptr);
}

void onChildExit(int) {
    // Signals of children that end together merge into one, so reap until none is left.
    int saved = errno;
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
        for (volatile pid_t(&children)[STATION_CHILDREN_MAX] : stationChildren) {
            for (volatile pid_t& child : children) {
                if (child == pid) {
                    child = 0;
                }
            }
        }
    }
    errno = saved;
}

namespace {

void refuse(const sockaddr_in& peer, RepeatedWarning& refusals) {
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    char text[96];
    snprintf(text, sizeof text, "Refused connection from %s, not a station", address);
    refusals.log(text);
}

// Called with SIGCHLD blocked, so that no child can have been reaped (and its pid given to
// another process) between reading its entry and signalling it. The station's child before
// `pid` starts draining; the one draining before is told once more and stops reading at once;
// one more than the record holds gives up the commands it holds and ends, so that a station
// reconnecting while the CID is down leaves no more children than that.
void replaceChild(int32_t station, pid_t pid) {
    std::array<pid_t, STATION_CHILDREN_MAX> newest{pid};
    size_t count = 1;
    for (pid_t child : stationChildren[station]) {
        if (child <= 0) {
            continue;
        }
        if (count == newest.size()) {
            kill(child, SIGUSR2);
            continue;
        }
        if (count <= 2) {
            kill(child, SIGUSR1);  // the one serving starts draining; the one draining stops
        }
        newest[count++] = child;
    }
    std::copy(newest.begin(), newest.end(), stationChildren[station]);
}

// Waits before accepting again after a failure that only time mends (no descriptor or memory
// to spare): 100 ms, doubling up to a second. A child that ends cuts the wait short.
class AcceptBackoff {
  public:
    void after(int error) {
        if (error != EMFILE && error != ENFILE && error != ENOMEM && error != ENOBUFS) {
            return;
        }
        const long milliseconds = static_cast<long>(delay_.count());
        timespec pause{milliseconds / 1000, milliseconds % 1000 * 1000000};
        nanosleep(&pause, nullptr);
        delay_ = std::min(delay_ * 2, std::chrono::milliseconds(1000));
    }
    void reset() { delay_ = std::chrono::milliseconds(100); }

  private:
    std::chrono::milliseconds delay_{100};
};

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

// The reads of a station's connection in its child. While the station keeps sending, a read
// waits at most LOOK_INTERVAL (the connection's receive timeout) for its next bytes; after that
// long without bytes, and at least every LOOK_INTERVAL while they come, the child looks after
// the rest: it learns whether its last command was refused, offers held commands to the CID
// when they are due, and takes the parent's word (SIGUSR1, on a signalfd) that the station has
// connected anew. Then it waits, for as long as nothing is due, for bytes or that word. From the
// word on it reads for REPLACED_DRAIN more (no longer once told again, or told to give up what
// it holds: SIGUSR2) and then shuts its reading side, so that the reads end with what had
// arrived by then, whatever the old peer keeps sending.
class StationReader {
  public:
    static constexpr std::chrono::milliseconds LOOK_INTERVAL{100};

    StationReader(int connection, CidSender& cid) : connection_(connection), cid_(cid) {
        sigset_t words;
        sigemptyset(&words);
        sigaddset(&words, SIGUSR1);
        sigaddset(&words, SIGUSR2);
        signals_ = Descriptor(signalfd(-1, &words, SFD_NONBLOCK | SFD_CLOEXEC));
        timeval look{0, static_cast<suseconds_t>(LOOK_INTERVAL.count() * 1000)};
        quick_ = setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &look, sizeof look) == 0;
    }

    static long fill(void* self, uint8_t* into, size_t, size_t room) {
        return static_cast<StationReader*>(self)->read(into, room);
    }

    bool replaced() const { return told_ > 0; }

    // Once the reads have ended: offers the held commands to the CID until it has taken them
    // all or they have grown too old, unless the parent says to give them up.
    void deliverHeld() {
        cid_.confirm();
        while (cid_.holding() && !giveUp_) {
            pollfd entry{signals_.fd(), POLLIN, 0};
            if (poll(&entry, 1, millisecondsUntil(cid_.retryAt())) > 0) {
                takeWord();
                continue;
            }
            cid_.retryIfDue();
        }
        if (giveUp_) {
            cid_.dropHeld();
        }
    }

  private:
    long read(uint8_t* into, size_t room) {
        if (quick_ && !cid_.holding() && !drainEnd_ && Clock::now() - lastLook_ < LOOK_INTERVAL) {
            ssize_t got = receive(into, room);
            if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                return got;
            }
        }
        waitForBytes();
        return receive(into, room);
    }

    ssize_t receive(uint8_t* into, size_t room) {
        ssize_t got;
        do {
            got = recv(connection_, into, room, 0);
        } while (got < 0 && errno == EINTR);
        return got;
    }

    void waitForBytes() {
        for (;;) {
            Clock::time_point now = Clock::now();
            if (drainEnd_ && now >= *drainEnd_) {
                shutdown(connection_, SHUT_RD);
                return;
            }
            cid_.confirm();
            cid_.retryIfDue();
            pollfd entries[] = {{connection_, POLLIN, 0}, {signals_.fd(), POLLIN, 0}};
            poll(entries, 2, millisecondsUntilWake());
            lastLook_ = Clock::now();
            if ((entries[1].revents & POLLIN) != 0) {
                takeWord();
            } else if (entries[0].revents != 0) {
                return;
            }
        }
    }

    void takeWord() {
        signalfd_siginfo info;
        while (::read(signals_.fd(), &info, sizeof info) == sizeof info) {
            giveUp_ = giveUp_ || info.ssi_signo == SIGUSR2;
            told_ += info.ssi_signo == SIGUSR1;
        }
        if (told_ > 0 || giveUp_) {
            drainEnd_ = told_ > 1 || giveUp_ ? Clock::now() : Clock::now() + REPLACED_DRAIN;
        }
    }

    // Until held commands are due or the drain ends; -1 (no limit) when neither comes.
    int millisecondsUntilWake() const {
        std::optional<Clock::time_point> wake = drainEnd_;
        if (cid_.holding() && (!wake || cid_.retryAt() < *wake)) {
            wake = cid_.retryAt();
        }
        return wake ? millisecondsUntil(*wake) : -1;
    }

    static int millisecondsUntil(Clock::time_point wake) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
        return static_cast<int>(std::max<int64_t>(left.count(), 0));
    }

    int connection_;
    CidSender& cid_;
    Descriptor signals_;
    bool quick_;  // the receive timeout is set: a read need not look after the rest first
    Clock::time_point lastLook_;
    std::optional<Clock::time_point> drainEnd_;
    int told_ = 0;
    bool giveUp_ = false;
};

// Logs why the child ends; its exit status.
int endChild(Received received, bool replaced) {
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
    RepeatedWarning acceptFailures;
    RepeatedWarning refusals;
    AcceptBackoff backoff;
    for (;;) {
        Socket connection;
        sockaddr_in peer{};
        if (acceptConnection(listener, connection, peer, acceptFailures) < 0) {
            backoff.after(errno);
            continue;
        }
        backoff.reset();
        int32_t station = stationOf(peer, targets.stationBase);
        if (station < 0) {
            refuse(peer, refusals);
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
    keepAlive(connection.fd());
    logInfo("Child started", 0);
    CidSender cid(targets.cidSocket);
    StationReader reader(connection.fd(), cid);
    StationStream stream(connection.fd(), StationReader::fill, &reader);
    for (;;) {
        APBEvent event = nullEvent;
        Received received = receiveEvent(stream, event);
        if (received == Received::EVENT && event.stationId == station) {
            relayEvent(event, targets, cid);
        } else if (received == Received::EVENT) {
            skipForeign(event, station);
        } else if (received != Received::SKIPPED) {
            int status = endChild(received, reader.replaced());
            reader.deliverHeld();
            return status;
        }
    }
}
