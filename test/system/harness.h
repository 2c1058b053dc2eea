// Whole-program test harness: each test runs the real binaries inside a private network and
// mount namespace of its own, and plays their peers from the test process.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

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

// Bind-mounts `source` over `target` (a file or a directory) inside the private namespace.
void bindMount(const std::string& source, const std::string& target);

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

// Base fixture of every whole-program test: enters the namespaces or skips with the reason.
class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override;
};

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

// An owned descriptor.
class Socket {
  public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket();
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    int fd() const { return fd_; }
    int release();
    void sendAll(const Bytes& bytes) const;
    // Receives exactly `count` bytes; nullopt on end of stream or when `limit` runs out.
    std::optional<Bytes> receiveExact(size_t count, Millis limit = 5s) const;
    // True when the peer closed the connection within `limit`.
    bool waitClosed(Millis limit = 5s) const;

  private:
    int fd_;
};

// A UDP socket bound to ip:port, such as the CID's 127.0.0.1:5000.
class UdpEndpoint {
  public:
    UdpEndpoint(const std::string& ip, uint16_t port);
    // One datagram (up to 64 KiB); nullopt when none arrives within `limit`.
    std::optional<Bytes> receive(Millis limit = 5s);
    // Sends to the sender of the last datagram received.
    void reply(const Bytes& bytes);
    int fd() const { return socket_.fd(); }

  private:
    Socket socket_;
    std::vector<uint8_t> lastPeer_;
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

// BSON written by hand, independent of the library under test.
// Appends a little-endian int32.
void putInt32(Bytes& bytes, int32_t value);
// Appends an int32 element.
void appendInt(Bytes& doc, const std::string& name, int32_t value);
// Ends a document begun with four placeholder bytes: terminator and length prefix.
Bytes finishDocument(Bytes doc);
// The little-endian length prefix of a document, from as many of its first four bytes as exist.
uint32_t lengthPrefix(const Bytes& bytes);
// Writes `length` over the first four bytes.
void setLengthPrefix(Bytes& bytes, uint32_t length);
// The whole document `doc` grown to exactly `size` bytes by one more element: a string "p" of
// 'a's when eight or more bytes are wanted, else a null named by 'x's; nullopt when no element
// is that small (one byte) or `size` is below the document's own.
std::optional<Bytes> grownDocument(Bytes doc, size_t size);
// `size` bytes of noise.
Bytes randomBytes(size_t size, std::mt19937& random);
// A document of int32 elements in the order given.
Bytes intDocument(const std::vector<std::pair<std::string, int32_t>>& elements);

// Creates the configuration database at `path` from the project's schema and sample data.
void createSampleDatabase(const std::string& path);

// "0c 00 00 00" style text of bytes, for readable failure messages.
std::string hex(const Bytes& bytes);

}  // namespace systest
