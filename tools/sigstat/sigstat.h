// The intersection status as sigstat reads and prints it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum sigstat_form { SIGSTAT_NIFTY, SIGSTAT_HEX, SIGSTAT_XML, SIGSTAT_JSON, SIGSTAT_BINARY };

// The eight values sigstat takes from the CID's answer.
struct sigstat_status {
    int32_t walk;      // "w"
    int32_t dontWalk;  // "dw"
    int32_t clear;     // "pc"
    int32_t pcalls;    // "pcall"
    int32_t apscalls;  // "papscall"
    int32_t vokcalls;  // "vokcall"
    int32_t bads;      // "sr"
    int32_t goods;     // "sg"
};

// The output form named by the first argument; the summary line for none or anything else.
sigstat_form sigstat_chooseForm(const char* argument);

// Checks an answer of `size` bytes and takes the eight values from it; 0, or -1 after one
// "cid_getIntersecionData: ..." line on standard error.
int sigstat_parse(const uint8_t* answer, size_t size, sigstat_status* status);

// The summary line's eight symbols for phases 1..8 and its terminating NUL.
void sigstat_summary(const sigstat_status* status, char symbols[9]);

// Writes the summary, hexadecimal or tagged form.
void sigstat_write(FILE* stream, sigstat_form form, const sigstat_status* status);
