// Logging of callrelayd: every line goes to syslog at its level and to standard error, led by
// "[pid;seconds]" so that the lines of the parent and of its children can be told apart.
// No output ever holds a relay up: a line that an output cannot take at once is dropped and
// counted, and once that output takes a line again it first gets one line with the count.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>

constexpr const char* LOG_IDENT = "callrelayd.v2";
constexpr const char* LOG_SOCKET = "/dev/log";
constexpr size_t LOG_LINE_CAPACITY = 1024;

// Takes the start time, connects to syslog and sets standard error and output up for writes
// that never wait. Called once, first thing, by the parent. Before it, lines go to standard
// error only, written as they come.
void logInit();

// "[pid;elapsed]text", then "-" and errnoText when errnoText is not null, into buffer (cut to
// its capacity); the length written.
size_t logFormat(char* buffer, size_t capacity, long pid, long elapsed, const char* text,
                 const char* errnoText);

// The head that syslog readers expect of a datagram: "<PRI>Mmm dd hh:mm:ss ident[pid]: ", with
// facility daemon and `when` in local time; its length.
size_t logSyslogHeader(char* buffer, size_t capacity, int level, time_t when, long pid);

// Writes one line at `level` (a syslog priority); a non-zero `withErrno` appends the
// description of the errno in force at the call.
void logMessage(int level, const char* text, int withErrno);
void logError(const char* text, int withErrno);
void logWarning(const char* text, int withErrno);
void logInfo(const char* text, int withErrno);

// Writes text to standard output unless it cannot take it at once (then it is dropped).
void logStandardOutput(const char* text, size_t length);

// A warning that can repeat fast (a flood of connections, a failure that persists) goes out at
// most once a second; the times it was held back are counted and said with the next one, as
// "text (N more since the last line)".
class RepeatedWarning {
  public:
    void log(const char* text);

  private:
    std::chrono::steady_clock::time_point last_{};
    bool logged_ = false;
    unsigned long heldBack_ = 0;
};
