// syslog captured inside a test's private mount namespace: the test, not a system logger,
// owns /dev/log, so it sees exactly the lines that a program sends to syslog.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runner.h"

namespace systest {

struct SyslogLine {
    int priority;
    std::string ident;
    int pid;
    std::string text;
};

// Covers /dev with a tmpfs that mirrors the real /dev (bind mounts), except for "log", which
// becomes a datagram socket owned by the test, and "console", so that nothing can reach the
// real console. A thread drains the socket, since a syslog sender waits while it is full (or
// drops its line). Its queue holds 512 datagrams, as systemd sets it up on the board.
class SyslogCapture {
  public:
    SyslogCapture() {
        mirrorDev();
        writeFile("/proc/sys/net/unix/max_dgram_qlen", "512");
        // Close-on-exec: a program that outlives a killed test must not keep the socket (and so
        // its full queue, on which every later syslog call would wait) alive.
        socket_ = Socket(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        address_.sun_family = AF_UNIX;
        strcpy(address_.sun_path, "/dev/log");
        if (bind(socket_.fd(), reinterpret_cast<sockaddr*>(&address_), sizeof address_) < 0) {
            throw std::system_error(errno, std::system_category(), "bind /dev/log");
        }
        thread_ = std::thread([this] { drain(); });
    }
    ~SyslogCapture() {
        stop_ = true;
        thread_.join();
    }

    // Stops reading and fills the queue to the brim, as a log service that has stalled leaves
    // it, so that no line of a sender gets in; resume() reads again and returns once the filler
    // (which is not kept) is gone.
    void stall() {
        stalled_ = true;
        std::this_thread::sleep_for(50ms);  // the drain thread has seen it
        Socket filler(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        int room = 16 << 20;
        setsockopt(filler.fd(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);
        if (connect(filler.fd(), reinterpret_cast<sockaddr*>(&address_), sizeof address_) < 0) {
            throw std::system_error(errno, std::system_category(), "connect /dev/log");
        }
        while (send(filler.fd(), FILLER, sizeof FILLER, MSG_DONTWAIT) > 0) {
            ++fillers_;
        }
    }
    void resume() {
        stalled_ = false;
        while (fillers_ > 0) {
            std::this_thread::sleep_for(5ms);
        }
    }

    std::vector<SyslogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // The line whose text ends in `text`; nullopt when none arrives within `limit`.
    std::optional<SyslogLine> find(const std::string& text, Millis limit = 5s) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            for (const SyslogLine& line : lines()) {
                if (line.text.size() >= text.size() &&
                    line.text.compare(line.text.size() - text.size(), text.size(), text) == 0) {
                    return line;
                }
            }
            std::this_thread::sleep_for(10ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return std::nullopt;
    }

  private:
    static void mirrorDev() {
        const std::string real = "/tmp/real-dev";
        mkdir(real.c_str(), 0755);
        if (mount("/dev", real.c_str(), nullptr, MS_BIND | MS_REC, nullptr) < 0) {
            throw std::system_error(errno, std::system_category(), "bind /dev");
        }
        mountTmpfs("/dev");
        DIR* directory = opendir(real.c_str());
        while (dirent* entry = readdir(directory)) {
            std::string name = entry->d_name;
            if (name == "." || name == ".." || name == "log" || name == "console") {
                continue;
            }
            std::string from = real + "/" + name;
            std::string to = "/dev/" + name;
            struct stat st;
            if (lstat(from.c_str(), &st) < 0) {
                continue;
            }
            if (S_ISLNK(st.st_mode)) {
                char target[4096];
                ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
                if (n > 0) {
                    target[n] = 0;
                    (void)symlink(target, to.c_str());
                }
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                mkdir(to.c_str(), 0755);
            } else {
                close(open(to.c_str(), O_WRONLY | O_CREAT, 0644));
            }
            (void)mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
        }
        closedir(directory);
    }

    void drain() {
        char buffer[4096];
        while (!stop_) {
            pollfd entry{socket_.fd(), POLLIN, 0};
            if (stalled_ || poll(&entry, 1, 20) <= 0) {
                std::this_thread::sleep_for(stalled_ ? 5ms : 0ms);
                continue;
            }
            ssize_t n = recv(socket_.fd(), buffer, sizeof buffer, 0);
            if (n <= 0 || memcmp(buffer, FILLER, std::min<size_t>(n, sizeof FILLER)) == 0) {
                fillers_ -= n > 0;
                continue;
            }
            SyslogLine line = parse(std::string(buffer, static_cast<size_t>(n)));
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        }
    }

    // "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
    static SyslogLine parse(const std::string& raw) {
        SyslogLine line{-1, "", -1, raw};
        size_t close = raw.find('>');
        size_t colon = raw.find("]: ");
        if (raw.empty() || raw[0] != '<' || close == std::string::npos ||
            colon == std::string::npos) {
            return line;
        }
        line.priority = std::stoi(raw.substr(1, close - 1));
        size_t open = raw.rfind('[', colon);
        size_t identStart = raw.rfind(' ', open) + 1;
        line.ident = raw.substr(identStart, open - identStart);
        line.pid = std::stoi(raw.substr(open + 1, colon - open - 1));
        line.text = raw.substr(colon + 3);
        while (!line.text.empty() && line.text.back() == '\n') {
            line.text.pop_back();
        }
        return line;
    }

    static constexpr char FILLER[] = "filler of a stalled log service";

    Socket socket_;
    sockaddr_un address_{};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> stalled_{false};
    std::atomic<int> fillers_{0};
    mutable std::mutex mutex_;
    std::vector<SyslogLine> lines_;
};

}  // namespace systest
