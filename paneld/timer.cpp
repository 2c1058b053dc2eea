#include "timer.h"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>

itimerspec timerSetting(uint32_t periodMs, bool periodic) {
    itimerspec setting{};
    setting.it_value.tv_sec = periodMs / 1000;
    setting.it_value.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000;
    if (periodic) {
        setting.it_interval = setting.it_value;
    }
    return setting;
}

IntervalTimer::IntervalTimer(uint32_t periodMs, bool periodic)
    : period_(periodMs), periodic_(periodic), descriptor_(timerfd_create(CLOCK_REALTIME, 0)) {
    if (descriptor_.fd() < 0) {
        throwSystemError(errno, "Unable to create timer.");
    }
}

void IntervalTimer::arm() {
    set(timerSetting(period_, periodic_));
}

void IntervalTimer::disarm() {
    set(itimerspec{});
}

void IntervalTimer::set(const itimerspec& setting) {
    if (timerfd_settime(descriptor_.fd(), 0, &setting, nullptr) < 0) {
        throwSystemError(errno, "Unable to set timer value.");
    }
}

uint32_t IntervalTimer::readExpirations() {
    uint64_t count = 0;
    ssize_t got = read(descriptor_.fd(), &count, sizeof count);
    if (got < 0) {
        throwSystemError(errno, "Unable to read from timer.");
    }
    if (got != sizeof count) {
        throw std::runtime_error("Read from time did not return the expected length.");
    }
    return static_cast<uint32_t>(count);
}
