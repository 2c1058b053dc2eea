#include "pages.h"

#include <cstdio>

#include "cid_socket.h"
#include "display.h"

const std::string BLANK_SCREEN = std::string(16, ' ') + "\n" + std::string(16, ' ');
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
            text = std::string("Phase   12345678\n") + "Sig " + heartbeat + "   ";
            for (unsigned phase = 1; phase <= 8; ++phase) {
                text += status.signalChar(phase);
            }
            return text;
        case 3:
            text = std::string("Phase   12345678\n") + "Calls " + heartbeat + " ";
            for (unsigned phase = 1; phase <= 8; ++phase) {
                text += status.callChar(phase);
            }
            return text;
        default:
            return BLANK_SCREEN;
    }
}

uint32_t nextPage(uint32_t page) {
    switch (page) {
        case 0:
            return 1;
        case 1:
            return 2;
        case 2:
            return 3;
        case 3:
            return 1;
        default:
            return 0;
    }
}

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
    CIDSocket socket;  // closed when the render ends, also by an exception
    IntersectionStatus status = fetchIntersectionStatus(socket);
    display.writeText(pageText(page, heartbeatChar(renderCount), status));
}
