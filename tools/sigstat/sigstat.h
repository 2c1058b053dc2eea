// The intersection status as sigstat reads and prints it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "cid_status.h"

enum sigstat_form { SIGSTAT_NIFTY, SIGSTAT_HEX, SIGSTAT_XML, SIGSTAT_JSON, SIGSTAT_BINARY };

// The output form named by the first argument; the summary line for none or anything else.
sigstat_form sigstat_chooseForm(const char* argument);

// Checks an answer of `size` bytes and takes from it the eight values that sigstat requires:
// "w", "dw", "pc", "pcall", "papscall", "vokcall", "sr" and "sg". 0, or -1 after one
// "cid_getIntersecionData: ..." line on standard error.
int sigstat_parse(const uint8_t* answer, size_t size, cid_status* status);

// The summary line's eight symbols for phases 1..8 and its terminating NUL.
void sigstat_summary(const cid_status* status, char symbols[9]);

// Writes the summary, hexadecimal or tagged form.
void sigstat_write(FILE* stream, sigstat_form form, const cid_status* status);
