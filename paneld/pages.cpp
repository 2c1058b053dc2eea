#include "pages.h"

#include <cstdio>
#include <exception>

#include "cid_socket.h"
#include "display.h"

const std::string BLANK_SCREEN = std::string(16, ' ') + "\n" + std::string(16, ' ');
const std::string NO_STATUS_SCREEN = "No status from  \nthe CID         ";
uint32_t renderCount = 0;

char heartbeatChar(uint32_t count) {
    return count % 2 == 1 ? '/' : '\\';
}

std::string pageText(uint32_t page, char heartbeat, const IntersectionStatus& status) {
    std::string text;
    switch (page) {
        case 1:
            text = std::string("1 ") + heartbeat + " Station   16\n";
            for (unsigned station = 1; station <= 16; ++station) {
                text += status.stationChar(station);
            }
            return text;
        case 2:
        case 3:
            text = std::string("Phase   12345678\n") + (page == 2 ? "Sig " : "Calls ") + heartbeat +
                   (page == 2 ? "   " : " ");
            for (unsigned phase = 1; phase <= 8; ++phase) {
                text += page == 2 ? status.signalChar(phase) : status.callChar(phase);
            }
            return text;
        default:
            return BLANK_SCREEN;
    }
}

uint32_t nextPage(uint32_t page) {
    return page < 3 ? page + 1 : page == 3 ? 1 : 0;
}

namespace {

// The status for a render; when there is none, the display says so before the error ends the
// process, rather than showing the last page as if it were live.
IntersectionStatus fetchOrShowNotice(I2CDisplay& display) {
    try {
        CIDSocket socket;  // closed when the fetch ends, also by an exception
        return fetchIntersectionStatus(socket);
    } catch (...) {
        try {
            display.writeText(NO_STATUS_SCREEN);
        } catch (const std::exception&) {
            // The display fails too; the CID's error is the one to report.
        }
        throw;
    }
}

}  // namespace

void renderPage(uint32_t page, I2CDisplay& display) {
    renderCount++;
    if (page == 0) {
        display.writeText(BLANK_SCREEN);
        return;
    }
    if (page > 3) {
        display.writeText(BLANK_SCREEN);
        fprintf(stderr, "Unkown state: %d\n", static_cast<int32_t>(page));
        fflush(stderr);
        return;
    }
    IntersectionStatus status = fetchOrShowNotice(display);
    display.writeText(pageText(page, heartbeatChar(renderCount), status));
}
