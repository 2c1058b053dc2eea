#include <cstring>

#include "bson.h"
#include "cid.h"
#include "sigstat.h"

sigstat_form sigstat_chooseForm(const char* argument) {
    struct {
        const char* option;
        sigstat_form form;
    } static const options[] = {
        {"--json", SIGSTAT_JSON}, {"--binary", SIGSTAT_BINARY}, {"--nifty", SIGSTAT_NIFTY},
        {"--hex", SIGSTAT_HEX},   {"--xml", SIGSTAT_XML},
    };
    for (const auto& option : options) {
        if (argument != nullptr && strcmp(argument, option.option) == 0) {
            return option.form;
        }
    }
    return SIGSTAT_NIFTY;
}

static int _refuse(const char* text) {
    fprintf(stderr, "%s: %s\n", "cid_getIntersecionData", text);
    return -1;
}

// The keys that sigstat requires, whatever the output form.
static const uint32_t SIGSTAT_KEYS = 1u << CID_W | 1u << CID_DW | 1u << CID_PC | 1u << CID_PCALL |
                                     1u << CID_PAPSCALL | 1u << CID_VOKCALL | 1u << CID_SR |
                                     1u << CID_SG;

int sigstat_parse(const uint8_t* answer, size_t size, cid_status* status) {
    if (size >= CID_BUFFER_SIZE) {
        return _refuse("CID response was too large");
    }
    // The length prefix must be the size of the datagram, neither less nor more.
    uint32_t length = 0;
    auto received = static_cast<uint32_t>(size);
    if (bson_frame(answer, size, received, received, &length) != BSON_FRAME_WHOLE) {
        return _refuse("CID message size doesn't make sense");
    }
    if (cid_readStatus(answer, received, SIGSTAT_KEYS, status) != CID_STATUS_READ) {
        return _refuse("CID message doesn't contain info.");
    }
    return 0;
}

void sigstat_summary(const cid_status* status, char symbols[9]) {
    for (int phase = 0; phase < 8; ++phase) {
        bool walk = (status->value[CID_W] >> phase) & 1;
        bool dontWalk = (status->value[CID_DW] >> phase) & 1;
        bool clear = (status->value[CID_PC] >> phase) & 1;
        char symbol = '?';
        if (walk + dontWalk + clear == 1) {
            symbol = walk ? '^' : dontWalk ? 'X' : '/';
        }
        symbols[phase] = symbol;
    }
    symbols[8] = '\0';
}

void sigstat_write(FILE* stream, sigstat_form form, const cid_status* status) {
    if (form == SIGSTAT_HEX) {
        // %X takes an unsigned int; a negative mask prints as its 32 bits.
        fprintf(stream, "%02X %02X %02X\n", static_cast<unsigned>(status->value[CID_W]),
                static_cast<unsigned>(status->value[CID_DW]),
                static_cast<unsigned>(status->value[CID_PC]));
    } else if (form == SIGSTAT_XML) {
        static const char* const tags[] = {"dw",       "walk",     "clear", "pcalls",
                                           "apscalls", "vokcalls", "bads",  "goods"};
        static const cid_statusKey keys[] = {CID_DW,       CID_W,       CID_PC, CID_PCALL,
                                             CID_PAPSCALL, CID_VOKCALL, CID_SR, CID_SG};
        for (int i = 0; i < 8; ++i) {
            fprintf(stream, "<%s>%d</%s>\n", tags[i], status->value[keys[i]], tags[i]);
        }
    } else {
        char symbols[9];
        sigstat_summary(status, symbols);
        fprintf(stream, "Ped: %s\n", symbols);
    }
}
