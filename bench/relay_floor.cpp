// relayfloor: the floor under callrelayd's relay, the least a relay of its process model can do.
// It takes the stations' TCP connections on port 50005 and sends each length-prefixed document it
// reads, unchanged and undecoded, as one UDP datagram to 127.0.0.1:5000, with callrelayd's
// process model (one child per connection, one recv for all that has arrived) and nothing else:
// no check, no command built, no log. cabinetbench measures it with the same driver as
// callrelayd, so the difference between the two is the cost of the real program's work.
//
// Usage: relayfloor   (runs until killed; only inside cabinetbench's private namespaces)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint16_t STATION_PORT = 50005;
constexpr uint16_t CID_PORT = 5000;
constexpr uint32_t MAX_DOCUMENT = 1024;

// Forwards whole documents until the station closes the connection or sends a length out of
// range. One recv takes all that has arrived, up to the free room; each whole document in it goes
// out with one send, and a document not yet whole moves to the front to wait for its rest.
void forward(int connection, int cid) {
    uint8_t buffer[MAX_DOCUMENT];
    size_t held = 0;
    ssize_t got;
    while ((got = recv(connection, buffer + held, sizeof buffer - held, 0)) > 0) {
        held += static_cast<size_t>(got);
        size_t start = 0;
        while (held - start >= 4) {
            const uint8_t* at = buffer + start;
            uint32_t length = at[0] | at[1] << 8 | at[2] << 16 | uint32_t{at[3]} << 24;
            if (length < 5 || length > MAX_DOCUMENT) {
                return;
            }
            if (held - start < length) {
                break;
            }
            (void)send(cid, at, length, MSG_NOSIGNAL);
            start += length;
        }
        memmove(buffer, buffer + start, held - start);
        held -= start;
    }
}

int fail(const char* what) {
    perror(what);
    return 1;
}

}  // namespace

int main() {
    int cid = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in cidAddress{};
    cidAddress.sin_family = AF_INET;
    cidAddress.sin_port = htons(CID_PORT);
    cidAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (cid < 0 || connect(cid, reinterpret_cast<sockaddr*>(&cidAddress), sizeof cidAddress) < 0) {
        return fail("relayfloor: CID socket");
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int reuse = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(STATION_PORT);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        listen(listener, 32) < 0) {
        return fail("relayfloor: listen");
    }
    signal(SIGCHLD, SIG_IGN);  // children are reaped by the system
    for (;;) {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) {
            continue;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            forward(connection, cid);
            _exit(0);
        }
        close(connection);
    }
}
