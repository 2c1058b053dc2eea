#include "log.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

// Children inherit it through the fork, so their seconds count from the daemon's start.
time_t startTime = 0;

}  // namespace

void logInit() {
    startTime = time(nullptr);
    openlog(LOG_IDENT, LOG_PID | LOG_CONS, LOG_DAEMON);
}

std::string logFormat(long pid, long elapsed, const std::string& text, const char* errnoText) {
    std::ostringstream line;
    line << '[' << pid << ';' << elapsed << ']' << text;
    if (errnoText != nullptr) {
        line << '-' << errnoText;
    }
    return line.str();
}

void logMessage(int level, const std::string& text, int withErrno) {
    int saved = errno;
    long elapsed = static_cast<long>(time(nullptr) - startTime);
    std::string line = logFormat(static_cast<long>(getpid()), elapsed, text,
                                 withErrno ? strerror(saved) : nullptr);
    syslog(level, "%s", line.c_str());
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
    errno = saved;
}

void logError(const std::string& text, int withErrno) {
    logMessage(LOG_ERR, text, withErrno);
}

void logWarning(const std::string& text, int withErrno) {
    logMessage(LOG_WARNING, text, withErrno);
}

void logInfo(const std::string& text, int withErrno) {
    logMessage(LOG_INFO, text, withErrno);
}
