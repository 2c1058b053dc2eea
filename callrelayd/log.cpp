#include "log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Children inherit it through the fork, so their seconds count from the daemon's start.
time_t startTime = 0;

// getpid() is a system call, which costs as much as each of a line's writes; the pid is taken
// by logInit and by each child at its fork. 0 before logInit.
long processId = 0;

// A line composed once for every output: the syslog datagram is bytes[0, end), the text that
// the streams take is bytes[textStart, end] with its newline.
struct Line {
    char bytes[LOG_LINE_CAPACITY];
    size_t textStart;
    size_t end;
};

void compose(Line& line, int level, const char* text, const char* errnoText) {
    time_t now = time(nullptr);
    long pid = processId != 0 ? processId : static_cast<long>(getpid());
    line.textStart = logSyslogHeader(line.bytes, sizeof line.bytes, level, now, pid);
    line.end = line.textStart + logFormat(line.bytes + line.textStart,
                                          sizeof line.bytes - line.textStart - 1, pid,
                                          static_cast<long>(now - startTime), text, errnoText);
    line.bytes[line.end] = '\n';
}

// True when descriptor `fd` is the journal's stream, as systemd names it in JOURNAL_STREAM
// ("device:inode" of the stream it connected to standard output and error).
bool isJournalStream(int fd) {
    const char* named = getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat st {};
    return named != nullptr && sscanf(named, "%llu:%llu", &device, &inode) == 2 &&
           fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// One output of the log lines and the count of lines it could not take at once. It never
// waits: syslog and a socket on standard error are sent to without waiting, a pipe or terminal
// is written through a non-blocking description of its own (the shared one of standard error
// stays as it is for the other processes that use it), and a file is written as it comes.
// A line goes out whole: what an output took of it only in part is finished before any later
// line, and the lines meanwhile are counted as dropped.
class LogOutput {
  public:
    // NONE: not written; DROP: every line counted as dropped (no way to write without waiting).
    enum Form { NONE, DROP, SYSLOG, SEND, WRITE };
    LogOutput(int fd, Form form) : fd_(fd), form_(form) {}
    ~LogOutput() { closeOwned(); }
    LogOutput(const LogOutput&) = delete;
    LogOutput& operator=(const LogOutput&) = delete;

    // Sets this output up as the syslog socket, connected when the log service is there.
    void openSyslog() {
        closeOwned();
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        owned_ = fd_ >= 0;
        form_ = owned_ ? SYSLOG : NONE;
        connected_ = owned_ && connectSyslog();
    }

    // Sets this output up for the stream on descriptor `fd`, by what the descriptor is.
    void openStream(int fd) {
        closeOwned();
        struct stat st {};
        fd_ = fd;
        form_ = fstat(fd, &st) < 0 ? NONE : S_ISSOCK(st.st_mode) ? SEND : WRITE;
        if (form_ == WRITE && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
            char path[32];
            snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
            fd_ = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            owned_ = fd_ >= 0;
            form_ = owned_ ? WRITE : DROP;
        }
    }

    bool isSyslog() const { return form_ == SYSLOG; }

    // Leaves this output out: its lines already reach the same place another way.
    void leaveOut() {
        closeOwned();
        form_ = NONE;
    }

    // A child starts with nothing dropped and no part line of its parent's to finish.
    void forget() {
        dropped_ = 0;
        pendingSize_ = 0;
    }

    // Takes the line in this output's form, or counts it as dropped.
    void deliver(const Line& line) {
        if (form_ == NONE) {
            return;
        }
        if (dropped_ > 0) {
            char text[64];
            snprintf(text, sizeof text, "%lu log lines dropped", dropped_);
            Line note;
            compose(note, LOG_WARNING, text, nullptr);
            if (!put(note)) {
                ++dropped_;
                return;
            }
            dropped_ = 0;
        }
        if (!put(line)) {
            ++dropped_;
        }
    }

    // Writes raw bytes to a stream output whole, or drops them (false).
    bool write(const char* bytes, size_t size) {
        return form_ == NONE || (form_ != SYSLOG && putWhole(bytes, size));
    }

  private:
    bool put(const Line& line) {
        if (form_ == SYSLOG) {
            return sendDatagram(line.bytes, line.end);
        }
        return putWhole(line.bytes + line.textStart, line.end + 1 - line.textStart);
    }

    // False when the bytes were not taken; a part taken is finished by the next call.
    bool putWhole(const char* bytes, size_t size) {
        if (size > sizeof pending_ || !finishPending()) {
            return false;
        }
        ssize_t n = transmit(bytes, size);
        if (n < 0) {
            return false;
        }
        pendingSize_ = size - static_cast<size_t>(n);
        memcpy(pending_, bytes + n, pendingSize_);
        return true;
    }

    bool finishPending() {
        if (pendingSize_ == 0) {
            return true;
        }
        ssize_t n = transmit(pending_, pendingSize_);
        if (n <= 0) {
            return false;
        }
        pendingSize_ -= static_cast<size_t>(n);
        memmove(pending_, pending_ + n, pendingSize_);
        return pendingSize_ == 0;
    }

    ssize_t transmit(const char* bytes, size_t size) {
        if (form_ == DROP) {
            return -1;
        }
        return form_ == SEND ? send(fd_, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                             : ::write(fd_, bytes, size);
    }

    bool connectSyslog() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, LOG_SOCKET, sizeof address.sun_path - 1);
        return connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    // A log service that was restarted refuses the old connection: connect again and resend.
    bool sendDatagram(const char* bytes, size_t size) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!connected_ && !(connected_ = connectSyslog())) {
                return false;
            }
            if (send(fd_, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
                return true;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
                return false;
            }
            connected_ = false;
        }
        return false;
    }

    void closeOwned() {
        if (owned_) {
            close(fd_);
            owned_ = false;
        }
    }

    int fd_;
    Form form_;
    bool owned_ = false;
    bool connected_ = false;
    unsigned long dropped_ = 0;
    char pending_[LOG_LINE_CAPACITY];
    size_t pendingSize_ = 0;
};

LogOutput syslogOutput(-1, LogOutput::NONE);
LogOutput errorOutput(STDERR_FILENO, LogOutput::WRITE);
LogOutput standardOutput(STDOUT_FILENO, LogOutput::WRITE);

}  // namespace

void logInit() {
    startTime = time(nullptr);
    processId = getpid();
    pthread_atfork(nullptr, nullptr, [] {
        processId = getpid();
        syslogOutput.forget();
        errorOutput.forget();
        standardOutput.forget();
    });
    syslogOutput.openSyslog();
    errorOutput.openStream(STDERR_FILENO);
    // Under systemd standard error is the journal, which has every line from syslog already.
    if (syslogOutput.isSyslog() && isJournalStream(STDERR_FILENO)) {
        errorOutput.leaveOut();
    }
    standardOutput.openStream(STDOUT_FILENO);
}

size_t logFormat(char* buffer, size_t capacity, long pid, long elapsed, const char* text,
                 const char* errnoText) {
    int n = errnoText != nullptr
                ? snprintf(buffer, capacity, "[%ld;%ld]%s-%s", pid, elapsed, text, errnoText)
                : snprintf(buffer, capacity, "[%ld;%ld]%s", pid, elapsed, text);
    return capacity == 0 || n < 0 ? 0 : std::min(static_cast<size_t>(n), capacity - 1);
}

size_t logSyslogHeader(char* buffer, size_t capacity, int level, time_t when, long pid) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm local{};
    localtime_r(&when, &local);
    int n = snprintf(buffer, capacity, "<%d>%s %2d %02d:%02d:%02d %s[%ld]: ", LOG_DAEMON | level,
                     months[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                     LOG_IDENT, pid);
    return capacity == 0 || n < 0 ? 0 : std::min(static_cast<size_t>(n), capacity - 1);
}

void logMessage(int level, const char* text, int withErrno) {
    int saved = errno;
    Line line;
    compose(line, level, text, withErrno ? strerror(saved) : nullptr);
    syslogOutput.deliver(line);
    errorOutput.deliver(line);
    errno = saved;
}

void logError(const char* text, int withErrno) {
    logMessage(LOG_ERR, text, withErrno);
}

void logWarning(const char* text, int withErrno) {
    logMessage(LOG_WARNING, text, withErrno);
}

void logInfo(const char* text, int withErrno) {
    logMessage(LOG_INFO, text, withErrno);
}

void logStandardOutput(const char* text, size_t length) {
    int saved = errno;
    standardOutput.write(text, length);
    errno = saved;
}

void RepeatedWarning::log(const char* text) {
    auto now = std::chrono::steady_clock::now();
    if (logged_ && now - last_ < std::chrono::seconds(1)) {
        ++heldBack_;
        return;
    }
    logged_ = true;
    last_ = now;
    if (heldBack_ == 0) {
        logWarning(text, 0);
        return;
    }
    char line[LOG_LINE_CAPACITY / 2];
    snprintf(line, sizeof line, "%s (%lu more since the last line)", text, heldBack_);
    heldBack_ = 0;
    logWarning(line, 0);
}
