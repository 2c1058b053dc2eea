// A Linux timer descriptor with a period in milliseconds, for the main loop's poll set.
#pragma once

#include <sys/timerfd.h>

#include <cstdint>

#include "descriptor.h"

// The timer setting for `periodMs`: first expiration after the period, repeating at it when
// `periodic`, once otherwise.
itimerspec timerSetting(uint32_t periodMs, bool periodic);

// Owns one timerfd (CLOCK_REALTIME, blocking); disarmed until arm(). Readable (POLLIN) once
// it has expired.
class IntervalTimer {
  public:
    // Creates the descriptor; throws std::system_error "Unable to create timer.".
    IntervalTimer(uint32_t periodMs, bool periodic);

    // Starts the timer from now; a running timer restarts from its full period.
    void arm();
    // Stops the timer; stopping a stopped timer succeeds.
    void disarm();
    // Expirations since the last read (low 32 bits); blocks until the first one.
    uint32_t readExpirations();

    int descriptor() const { return descriptor_.fd(); }

  private:
    void set(const itimerspec& setting);

    uint32_t period_;
    bool periodic_;
    Descriptor descriptor_;
};
