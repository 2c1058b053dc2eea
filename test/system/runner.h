// Namespace runner of the whole-program tests and the benchmarks: runs the real binaries inside
// a private network and mount namespace and plays their peers from this process. It needs no
// test framework.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "descriptor.h"

namespace systest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Millis = std::chrono::milliseconds;

// Moves this process into fresh network and mount namespaces: loopback up, 192.168.0.10 to
// 192.168.0.26 on it, mounts private, a private tmpfs on /tmp. Empty on success, else the reason.
std::string enterPrivateNamespaces();

// Mounts a fresh tmpfs so that `path` exists and is empty and private to this test. When
// `path` does not exist outside /tmp (which is private already), the tmpfs covers its deepest
// existing ancestor, so nothing is ever created on the real file system.
void mountTmpfs(const std::string& path);

// Writes `text` to a file, creating it.
void writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);

// Absolute path of a program built by this project, e.g. program("sigcmd").
std::string program(const std::string& name);
// Absolute path of a file in the source tree, e.g. source("stationtool/config.sql").
std::string source(const std::string& relative);

// Empty when the programs can address an I2C device here, else why not: under qemu-user, which
// passes on only the ioctls it knows and no I2C one, paneld cannot select the display.
std::string i2cUnavailableReason();

// True when the programs run in an emulator (a cross build): slower, so time limits that are
// about the program's own speed may be wider.
bool programsEmulated();

struct Result {
    int status = -1;        // exit status 0..255, or 128 + signal when killed by one
    bool timedOut = false;  // the time limit ran out and the process was killed
    std::string out;
    std::string err;
};

// A child process running a program, its standard output and error collected in files.
class Process {
  public:
    explicit Process(const std::vector<std::string>& argv, const std::string& input = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    std::string out() const;
    std::string err() const;
    // Waits until standard error (or output) holds `text`; false when the time runs out.
    bool waitForErr(const std::string& text, Millis limit = 5s) const;
    bool waitForOut(const std::string& text, Millis limit = 5s) const;
    // Waits for the exit; kills the process when `limit` runs out.
    Result wait(Millis limit = 10s);
    // Sends `signal`, then waits for the exit.
    Result stop(int signal = SIGTERM, Millis limit = 5s);

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_;
    std::string errPath_;
};

// Runs a program to its end with `input` on standard input.
Result run(const std::vector<std::string>& argv, const std::string& input = {}, Millis limit = 10s);

// An owned descriptor, a socket of the test's end of a connection.
class Socket : public Descriptor {
  public:
    using Descriptor::Descriptor;
    void sendAll(const Bytes& bytes) const;
    // Receives exactly `count` bytes; nullopt on end of stream or when `limit` runs out.
    std::optional<Bytes> receiveExact(size_t count, Millis limit = 5s) const;
    // True when the peer closed the connection within `limit`.
    bool waitClosed(Millis limit = 5s) const;
};

// A listening TCP socket bound to ip:port.
class TcpListener {
  public:
    TcpListener(const std::string& ip, uint16_t port, int backlog = 64);
    // The next connection; nullopt when none arrives within `limit`.
    std::optional<Socket> accept(Millis limit = 5s);

  private:
    Socket socket_;
};

// Connects from localIp (any port) to ip:port, retrying until `limit` while it is refused.
std::optional<Socket> tcpConnect(const std::string& localIp, const std::string& ip, uint16_t port,
                                 Millis limit = 5s);

// Creates the configuration database at `path` from the project's schema and sample data.
void createSampleDatabase(const std::string& path);

// "0c 00 00 00" style text of bytes, for readable failure messages.
std::string hex(const Bytes& bytes);

}  // namespace systest
