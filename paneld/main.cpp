// paneld: shows the intersection status on the cabinet's character display, one of three pages
// stepped through by the page button, refreshed every second and blanked 60 seconds after the
// last press. Any error ends the process through an uncaught exception.
#include <poll.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "cli.h"
#include "display.h"
#include "gpio.h"
#include "pages.h"
#include "timer.h"

namespace {

const char* const USAGE =
    "Usage: paneld [--help | --version]\n"
    "Shows the intersection status from the CID on the cabinet's 2x16 character\n"
    "display (/dev/i2c-0): the Station, Sig or Calls page, stepped by the page\n"
    "button (GPIO 70), refreshed every second, blanked 60 seconds after the last\n"
    "press. Takes no other arguments; runs in the foreground.\n";

constexpr uint32_t REFRESH_PERIOD_MS = 1000;
constexpr uint32_t DISPLAY_TIMEOUT_MS = 60000;
constexpr unsigned PAGE_BUTTON_GPIO = 70;
constexpr unsigned AUX_GPIO = 63;
constexpr char BUTTON_AT_REST = '1';

// The page on show: 0 blank, 1 Station, 2 Sig, 3 Calls.
uint32_t currentPage = 1;

// The period of the watchdog pings, half the interval the supervisor asks for; 0 without one.
uint32_t watchdogPeriodMs() {
    uint64_t interval = 0;
    if (sd_watchdog_enabled(0, &interval) <= 0) {
        return 0;
    }
    return static_cast<uint32_t>(std::clamp<uint64_t>(interval / 2000, 1, UINT32_MAX));
}

// Tells the supervisor, after the first page is on show, that paneld serves.
void reportReady() {
    static bool reported = false;
    if (!reported) {
        sd_notify(0, "READY=1");
        reported = true;
    }
}

void warnIfBehind(uint32_t expirations, const char* message) {
    if (expirations > 1) {
        fprintf(stderr, "%s\n", message);
        fflush(stderr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (int status; cli_endsDaemon(argc, argv, "paneld", USAGE, &status)) {
        return status;
    }
    IntervalTimer refreshTimer(REFRESH_PERIOD_MS, true);
    IntervalTimer timeoutTimer(DISPLAY_TIMEOUT_MS, false);
    GpioInput pageButton(PAGE_BUTTON_GPIO);
    GpioInput auxInput(AUX_GPIO);  // opened and held, never read again
    I2CDisplay display;

    // Pings the supervisor's watchdog from this loop, also while the display is blank.
    const uint32_t watchdogPeriod = watchdogPeriodMs();
    IntervalTimer watchdogTimer(watchdogPeriod, true);

    pollfd waitSet[4] = {{refreshTimer.descriptor(), POLLIN, 0},
                         {timeoutTimer.descriptor(), POLLIN, 0},
                         {pageButton.descriptor(), POLLPRI, 0},
                         {watchdogTimer.descriptor(), POLLIN, 0}};
    refreshTimer.arm();
    timeoutTimer.arm();
    if (watchdogPeriod > 0) {
        watchdogTimer.arm();
    }

    for (;;) {
        int ready = poll(waitSet, 4, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("Unable to poll.");
        }
        if (ready == 0) {
            continue;
        }
        // The watchdog's ping stands outside the priorities of the display's events.
        if (waitSet[3].revents & POLLIN) {
            watchdogTimer.readExpirations();
            sd_notify(0, "WATCHDOG=1");
        }
        // One event per pass, in a fixed priority; the others stay pending for the next poll.
        if (waitSet[0].revents & POLLIN) {
            warnIfBehind(refreshTimer.readExpirations(), "Couldn't keep up with refresh timer.");
            renderPage(currentPage, display);
            reportReady();
        } else if (waitSet[1].revents & POLLIN) {
            warnIfBehind(timeoutTimer.readExpirations(), "Couldn't keep up with timeout timer.");
            refreshTimer.disarm();
            timeoutTimer.disarm();
            currentPage = 0;
            usleep(100000);
            display.writeText(BLANK_SCREEN);
        } else if (waitSet[2].revents & POLLPRI) {
            if (pageButton.readValue() == static_cast<unsigned>(BUTTON_AT_REST)) {
                continue;
            }
            currentPage = nextPage(currentPage);
            renderPage(currentPage, display);
            reportReady();
            refreshTimer.arm();
            timeoutTimer.arm();
        }
    }
}
