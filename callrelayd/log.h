// Logging of callrelayd: every line goes to syslog at its level and to standard error, led by
// "[pid;seconds]" so that the lines of the parent and of its children can be told apart.
#pragma once

#include <ctime>
#include <string>

constexpr const char* LOG_IDENT = "callrelayd.v2";

// Takes the start time and opens syslog. Called once, first thing, by the parent.
void logInit();

// "[pid;elapsed]text", then "-" and errnoText when errnoText is not null.
std::string logFormat(long pid, long elapsed, const std::string& text, const char* errnoText);

// Writes one line at `level` (a syslog priority); a non-zero `withErrno` appends the
// description of the errno in force at the call.
void logMessage(int level, const std::string& text, int withErrno);
void logError(const std::string& text, int withErrno);
void logWarning(const std::string& text, int withErrno);
void logInfo(const std::string& text, int withErrno);
