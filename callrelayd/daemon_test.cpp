// Start-up and reaping of the daemon's parent, on ports and children of the test's own.
#include "daemon.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include "descriptors.h"

#include <cstdio>
#include <string>
#include <vector>

#include "log.h"

namespace {

uint16_t portOf(const Socket& socket) {
    sockaddr_in in{};
    socklen_t length = sizeof in;
    getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&in), &length);
    return ntohs(in.sin_port);
}

std::string formatted(long pid, long elapsed, const char* text, const char* errnoText,
                      size_t capacity = 64) {
    char buffer[64];
    return std::string(buffer, logFormat(buffer, capacity, pid, elapsed, text, errnoText));
}

TEST(LogTest, LineIsPidSecondsTextAndErrnoText) {
    EXPECT_EQ(formatted(812, 40, "Child started", nullptr), "[812;40]Child started");
    EXPECT_EQ(formatted(7, -3, "Unable to connect", "Connection refused"),
              "[7;-3]Unable to connect-Connection refused");
    EXPECT_EQ(formatted(1, 0, "100% sure", nullptr), "[1;0]100% sure");
    EXPECT_EQ(formatted(1, 0, "100% sure", nullptr, 9), "[1;0]100") << "cut to the capacity";
}

TEST(LogTest, SyslogHeaderHasTheFormOfTheCLibrarys) {
    // As the C library's syslog() sent it for LOG_WARNING at 2026-12-08 13:14:18 UTC.
    setenv("TZ", "UTC", 1);
    tzset();
    char header[64];
    size_t length = logSyslogHeader(header, sizeof header, 4, 1796735658, 21260);
    EXPECT_EQ(std::string(header, length), "<28>Dec  8 13:14:18 callrelayd.v2[21260]: ");
}

TEST(StationOfTest, OnlyTheSeventeenStationAddressesAreStations) {
    const struct {
        const char* address;
        int32_t station;
    } cases[] = {
        {"192.168.0.10", 0}, {"192.168.0.26", 16}, {"192.168.0.13", 3},
        {"192.168.0.9", -1}, {"192.168.0.27", -1}, {"192.168.1.10", -1},
        {"127.0.0.1", -1},   {"0.0.0.0", -1},      {"255.255.255.255", -1},
    };
    for (const auto& c : cases) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        inet_pton(AF_INET, c.address, &peer.sin_addr);
        EXPECT_EQ(stationOf(peer, 0xC0A8000A), c.station) << c.address;
    }
}

TEST(LogTest, ErrnoIsTheOneInForceAndIsKept) {
    testing::internal::CaptureStderr();
    errno = 0;
    logWarning("nothing wrong", 1);
    EXPECT_EQ(errno, 0);
    errno = ECONNREFUSED;
    logInfo("refused", 1);
    EXPECT_EQ(errno, ECONNREFUSED);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("]nothing wrong-Success\n"), std::string::npos) << log;
    EXPECT_NE(log.find("]refused-Connection refused\n"), std::string::npos) << log;
}

TEST(InitCommunicationTest, SecondListenerOnThePortFailsAndLeavesNothingOpen) {
    Socket first;
    Socket firstCid;
    ASSERT_EQ(initCommunication(0, "127.0.0.1", 5000, first, firstCid), 0);
    uint16_t port = portOf(first);
    size_t before = openDescriptors();
    Socket second;
    Socket secondCid;
    testing::internal::CaptureStderr();
    EXPECT_LT(initCommunication(port, "127.0.0.1", 5000, second, secondCid), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("]Error binding socket-Address already in use\n"), std::string::npos) << log;
    EXPECT_LT(second.fd(), 0);
    EXPECT_LT(secondCid.fd(), 0);
    EXPECT_EQ(openDescriptors(), before);
}

// The lowest descriptor number that is free, which socket() would return next.
int lowestFreeDescriptor() {
    int fd = dup(0);
    close(fd);
    return fd;
}

TEST(InitCommunicationTest, SocketsThatCannotBeCreatedFailStartUpAndLeaveNothingOpen) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' runtime opens pipes to check memory, so it misreports without descriptors.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    const struct {
        const char* name;
        int room;  // descriptors that may still be opened
        std::string line;
    } cases[] = {
        {"no listening socket", 0, "]Error creating socket-Too many open files\n"},
        {"no CID socket", 1, "]Error opening CID socket\n"},
    };
    for (const auto& c : cases) {
        Socket listener;
        Socket cid;
        size_t before = openDescriptors();
        testing::internal::CaptureStderr();
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(lowestFreeDescriptor() + c.room);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        int result = initCommunication(0, "127.0.0.1", 5000, listener, cid);
        setrlimit(RLIMIT_NOFILE, &saved);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_LT(result, 0) << c.name;
        EXPECT_NE(log.find(c.line), std::string::npos) << c.name << ":\n" << log;
        EXPECT_LT(listener.fd(), 0) << c.name;
        EXPECT_LT(cid.fd(), 0) << c.name;
        EXPECT_EQ(openDescriptors(), before) << c.name;
    }
}

// True once `pid` has ended and can be reaped; it is left for the reaper. (A zombie state in
// /proc says less: the thread group leader shows it while the process's other threads, such as
// an emulator's, are still ending.)
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

TEST(OnChildExitTest, ReapsEveryEndedChildAndKeepsErrno) {
    std::vector<pid_t> children;
    for (int i = 0; i < 20; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            _exit(0);
        }
        children.push_back(pid);
    }
    // All of them end before the one call, as when their signals merge into one.
    for (pid_t pid : children) {
        while (!hasEnded(pid)) {
            usleep(1000);
        }
    }
    errno = EINTR;
    onChildExit(SIGCHLD);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left unreaped";
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
