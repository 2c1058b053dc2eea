// Start-up and reaping of the daemon's parent, on ports and children of the test's own.
#include "daemon.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
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

TEST(LogTest, LineIsPidSecondsTextAndErrnoText) {
    EXPECT_EQ(logFormat(812, 40, "Child started", nullptr), "[812;40]Child started");
    EXPECT_EQ(logFormat(7, -3, "Unable to connect", "Connection refused"),
              "[7;-3]Unable to connect-Connection refused");
    EXPECT_EQ(logFormat(1, 0, "100% sure", nullptr), "[1;0]100% sure");
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

bool isZombie(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    char state = 0;
    int scanned = fscanf(file, "%*d (%*[^)]) %c", &state);
    fclose(file);
    return scanned == 1 && state == 'Z';
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
        while (!isZombie(pid)) {
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
