#include "runner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "udp_peer.h"

namespace systest {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::system_category(), what);
}

using Clock = std::chrono::steady_clock;

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) < 0 && errno != EEXIST) {
            fail("mkdir " + prefix);
        }
        if (slash == std::string::npos) {
            return;
        }
    }
}

void setInterfaceAddress(int sock, const char* name, uint32_t address, unsigned long request) {
    ifreq request_{};
    strncpy(request_.ifr_name, name, IFNAMSIZ - 1);
    auto* in = reinterpret_cast<sockaddr_in*>(&request_.ifr_addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(address);
    if (ioctl(sock, request, &request_) < 0) {
        fail(std::string("address of ") + name);
    }
}

// Loopback up, and the stations' addresses 192.168.0.10..26 as /32 aliases on it.
void configureLoopback() {
    Socket sock(socket(AF_INET, SOCK_DGRAM, 0));
    ifreq flags{};
    strncpy(flags.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(sock.fd(), SIOCGIFFLAGS, &flags) < 0) {
        fail("loopback flags");
    }
    flags.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (ioctl(sock.fd(), SIOCSIFFLAGS, &flags) < 0) {
        fail("loopback up");
    }
    for (int station = 0; station <= 16; ++station) {
        std::string alias = "lo:" + std::to_string(station);
        uint32_t address = (192u << 24) | (168u << 16) | (10u + station);
        setInterfaceAddress(sock.fd(), alias.c_str(), address, SIOCSIFADDR);
        setInterfaceAddress(sock.fd(), alias.c_str(), 0xFFFFFFFFu, SIOCSIFNETMASK);
    }
}

std::string deepestExistingAncestor(const std::string& path) {
    std::string current = path;
    while (!current.empty() && !exists(current)) {
        current = current.substr(0, current.rfind('/'));
    }
    return current.empty() ? "/" : current;
}

bool waitReadable(int fd, Millis limit) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, static_cast<int>(limit.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool waitForText(const std::string& path, const std::string& text, Millis limit) {
    auto deadline = Clock::now() + limit;
    while (readFile(path).find(text) == std::string::npos) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int uniqueCounter() {
    static int counter = 0;
    return ++counter;
}

// Bind-mounts `source` over `target` (a file or a directory).
void bindMount(const std::string& source, const std::string& target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) < 0) {
        fail("bind " + source + " over " + target);
    }
}

// A fresh tmpfs on /tmp. A project tree that lies under /tmp itself (a clone made there) is
// bound back in, so that the programs and sources stay where the tests look for them.
void mountPrivateTmp() {
    std::vector<std::string> kept;
    std::vector<Socket> handles;
    for (std::string path : {std::string(CABINET_SOURCE_DIR), std::string(CABINET_BIN_DIR)}) {
        if (path.rfind("/tmp/", 0) != 0) {
            continue;
        }
        std::string top = path.substr(0, path.find('/', 5));
        if (std::find(kept.begin(), kept.end(), top) == kept.end()) {
            kept.push_back(top);
            handles.emplace_back(open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
    }
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") < 0) {
        fail("mount tmpfs on /tmp");
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        makeDirectories(kept[i]);
        bindMount("/proc/self/fd/" + std::to_string(handles[i].fd()), kept[i]);
    }
}

}  // namespace

std::string enterPrivateNamespaces() {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) < 0) {
        return std::string("cannot create private network and mount namespaces (") +
               strerror(errno) + "); whole-program tests need root or CAP_SYS_ADMIN";
    }
    try {
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
            fail("make mounts private");
        }
        configureLoopback();
        mountPrivateTmp();
    } catch (const std::exception& error) {
        return std::string("cannot set up the private namespaces: ") + error.what();
    }
    return {};
}

void mountTmpfs(const std::string& path) {
    // /tmp is the test's own already, so a missing path there is simply made.
    if (path.rfind("/tmp/", 0) == 0) {
        makeDirectories(path);
    }
    std::string target = deepestExistingAncestor(path);
    if (mount("tmpfs", target.c_str(), "tmpfs", 0, "mode=0755") < 0) {
        fail("mount tmpfs on " + target);
    }
    if (target != path) {
        makeDirectories(path);
    }
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string program(const std::string& name) {
    return std::string(CABINET_BIN_DIR) + "/" + name;
}

std::string source(const std::string& relative) {
    return std::string(CABINET_SOURCE_DIR) + "/" + relative;
}

std::string i2cUnavailableReason() {
    // The kernel refuses I2C_SLAVE on a file that is no I2C adapter with ENOTTY; an emulator that
    // does not know the request answers ENOSYS itself. This test runs in the programs' emulator.
    Socket null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (ioctl(null.fd(), I2C_SLAVE, 0x3C) < 0 && errno == ENOSYS) {
        return "the emulator running these programs does not pass the I2C_SLAVE ioctl on to the "
               "kernel (qemu-user knows no I2C ioctls), so paneld cannot address the display";
    }
    return {};
}

bool programsEmulated() {
    return std::string(CABINET_BIN_DIR).ends_with("/emulated/bin");
}

Process::Process(const std::vector<std::string>& argv, const std::string& input) {
    std::string base = "/tmp/process-" + std::to_string(uniqueCounter());
    std::string inPath = base + ".in";
    outPath_ = base + ".out";
    errPath_ = base + ".err";
    writeFile(inPath, input);
    pid_ = fork();
    if (pid_ < 0) {
        fail("fork");
    }
    if (pid_ == 0) {
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The program must not outlive a test that dies, nor hold the test's own descriptors.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close_range(3, ~0U, 0);
        setpgid(0, 0);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        dprintf(2, "exec %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
}

Process::~Process() {
    if (pid_ > 0 && status_ < 0) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Process::running() {
    if (status_ >= 0) {
        return false;
    }
    int raw;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return false;
    }
    return true;
}

std::string Process::out() const {
    return readFile(outPath_);
}
std::string Process::err() const {
    return readFile(errPath_);
}

bool Process::waitForErr(const std::string& text, Millis limit) const {
    return waitForText(errPath_, text, limit);
}

bool Process::waitForOut(const std::string& text, Millis limit) const {
    return waitForText(outPath_, text, limit);
}

Result Process::wait(Millis limit) {
    Result result;
    auto deadline = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= deadline) {
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            result.timedOut = true;
            int raw;
            waitpid(pid_, &raw, 0);
            status_ = 128 + SIGKILL;
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    result.status = status_;
    result.out = out();
    result.err = err();
    return result;
}

Result Process::stop(int signal, Millis limit) {
    if (running()) {
        kill(pid_, signal);
    }
    return wait(limit);
}

Result run(const std::vector<std::string>& argv, const std::string& input, Millis limit) {
    Process process(argv, input);
    return process.wait(limit);
}

void Socket::sendAll(const Bytes& bytes) const {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            fail("send");
        }
        sent += static_cast<size_t>(n);
    }
}

std::optional<Bytes> Socket::receiveExact(size_t count, Millis limit) const {
    Bytes bytes(count);
    size_t got = 0;
    auto deadline = Clock::now() + limit;
    while (got < count) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        if (left.count() <= 0 || !waitReadable(fd(), left)) {
            return std::nullopt;
        }
        ssize_t n = recv(fd(), bytes.data() + got, count - got, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        got += static_cast<size_t>(n);
    }
    return bytes;
}

bool Socket::waitClosed(Millis limit) const {
    auto deadline = Clock::now() + limit;
    uint8_t scratch[256];
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        if (left.count() <= 0 || !waitReadable(fd(), left)) {
            return false;
        }
        ssize_t n = recv(fd(), scratch, sizeof scratch, 0);
        if (n <= 0) {
            return true;
        }
    }
}

TcpListener::TcpListener(const std::string& ip, uint16_t port, int backlog)
    : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    int on = 1;
    setsockopt(socket_.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = addressOf(ip, port);
    if (bind(socket_.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        listen(socket_.fd(), backlog) < 0) {
        fail("listen " + ip + ":" + std::to_string(port));
    }
}

std::optional<Socket> TcpListener::accept(Millis limit) {
    if (!waitReadable(socket_.fd(), limit)) {
        return std::nullopt;
    }
    int fd = ::accept(socket_.fd(), nullptr, nullptr);
    if (fd < 0) {
        fail("accept");
    }
    return Socket(fd);
}

std::optional<Socket> tcpConnect(const std::string& localIp, const std::string& ip, uint16_t port,
                                 Millis limit) {
    sockaddr_in local = addressOf(localIp, 0);
    sockaddr_in remote = addressOf(ip, port);
    auto deadline = Clock::now() + limit;
    for (;;) {
        Socket sock(socket(AF_INET, SOCK_STREAM, 0));
        if (bind(sock.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
            fail("bind " + localIp);
        }
        if (connect(sock.fd(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
            return sock;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
}

void createSampleDatabase(const std::string& path) {
    std::string sql = readFile(source("stationtool/config.sql")) + "\n" +
                      readFile(source("stationtool/sample.sql"));
    Result result = run({"/usr/bin/sqlite3", "-bail", path}, sql);
    if (result.status != 0) {
        throw std::runtime_error("cannot create " + path + ": " + result.err);
    }
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        snprintf(digits, sizeof digits, "%02x ", byte);
        text += digits;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

}  // namespace systest
