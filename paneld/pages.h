// The three pages of the display and the render of one of them with fresh CID data.
#pragma once

#include <cstdint>
#include <string>

#include "status.h"

class I2CDisplay;

// Sixteen blanks, a line feed, sixteen blanks.
extern const std::string BLANK_SCREEN;
// Shown when a render gets no usable status from the CID, just before that error ends paneld.
extern const std::string NO_STATUS_SCREEN;
// Renders so far; renderPage adds 1 before anything else, wrapping at 2^32.
extern uint32_t renderCount;

// '/' for an odd render count, '\' for an even one.
char heartbeatChar(uint32_t count);
// The 33-character text of page 1 (Station), 2 (Sig) or 3 (Calls); BLANK_SCREEN for others.
std::string pageText(uint32_t page, char heartbeat, const IntersectionStatus& status);
// The page a press leads to: 0 to 1, 1 to 2, 2 to 3, 3 to 1, anything else to 0.
uint32_t nextPage(uint32_t page);

// Counts the render, then shows `page`: 0 blank; 1 to 3 with a fresh status from the CID
// (fetched before the page is written; a failed fetch shows NO_STATUS_SCREEN, then throws); any
// other number blank, with "Unkown state: N" on standard error.
void renderPage(uint32_t page, I2CDisplay& display);
