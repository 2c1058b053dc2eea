#include <cstring>

#include "bson.h"
#include "cid.h"
#include "cid_status.h"
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
static const uint32_t SIGSTAT_KEYS = cid_key(CID_W) | cid_key(CID_DW) | cid_key(CID_PC) |
                                     cid_key(CID_PCALL) | cid_key(CID_PAPSCALL) |
                                     cid_key(CID_VOKCALL) | cid_key(CID_SR) | cid_key(CID_SG);

int sigstat_parse(const uint8_t* answer, size_t size, sigstat_status* status) {
    if (size >= CID_BUFFER_SIZE) {
        return _refuse("CID response was too large");
    }
    // The length prefix must be the size of the datagram, neither less nor more.
    uint32_t length = 0;
    auto received = static_cast<uint32_t>(size);
    if (bson_frame(answer, size, received, received, &length) != BSON_FRAME_WHOLE) {
        return _refuse("CID message size doesn't make sense");
    }
    cid_status read;
    if (cid_readStatus(answer, received, SIGSTAT_KEYS, &read) != CID_STATUS_READ) {
        return _refuse("CID message doesn't contain info.");
    }
    *status = {read.value[CID_W],     read.value[CID_DW],       read.value[CID_PC],
               read.value[CID_PCALL], read.value[CID_PAPSCALL], read.value[CID_VOKCALL],
               read.value[CID_SR],    read.value[CID_SG]};
    return 0;
}

void sigstat_summary(const sigstat_status* status, char symbols[9]) {
    for (int phase = 0; phase < 8; ++phase) {
        bool walk = (status->walk >> phase) & 1;
        bool dontWalk = (status->dontWalk >> phase) & 1;
        bool clear = (status->clear >> phase) & 1;
        char symbol = '?';
        if (walk + dontWalk + clear == 1) {
            symbol = walk ? '^' : dontWalk ? 'X' : '/';
        }
        symbols[phase] = symbol;
    }
    symbols[8] = '\0';
}

void sigstat_write(FILE* stream, sigstat_form form, const sigstat_status* status) {
    if (form == SIGSTAT_HEX) {
        // %X takes an unsigned int; a negative mask prints as its 32 bits.
        fprintf(stream, "%02X %02X %02X\n", static_cast<unsigned>(status->walk),
                static_cast<unsigned>(status->dontWalk), static_cast<unsigned>(status->clear));
    } else if (form == SIGSTAT_XML) {
        fprintf(stream, "<dw>%d</dw>\n", status->dontWalk);
        fprintf(stream, "<walk>%d</walk>\n", status->walk);
        fprintf(stream, "<clear>%d</clear>\n", status->clear);
        fprintf(stream, "<pcalls>%d</pcalls>\n", status->pcalls);
        fprintf(stream, "<apscalls>%d</apscalls>\n", status->apscalls);
        fprintf(stream, "<vokcalls>%d</vokcalls>\n", status->vokcalls);
        fprintf(stream, "<bads>%d</bads>\n", status->bads);
        fprintf(stream, "<goods>%d</goods>\n", status->goods);
    } else {
        char symbols[9];
        sigstat_summary(status, symbols);
        fprintf(stream, "Ped: %s\n", symbols);
    }
}
