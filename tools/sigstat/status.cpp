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

int sigstat_parse(const uint8_t* answer, size_t size, sigstat_status* status) {
    if (size >= CID_BUFFER_SIZE) {
        return _refuse("CID response was too large");
    }
    // Fewer than four bytes hold no length prefix; such an answer cannot match one.
    if (size < 4 || bson_length(answer) != size) {
        return _refuse("CID message size doesn't make sense");
    }
    // The walk below trusts element sizes, so an answer that lies about them is refused here.
    if (bson_check(answer, static_cast<uint32_t>(size)) < 0) {
        return _refuse("CID message doesn't contain info.");
    }
    struct {
        const char* key;
        int32_t* value;
    } const keys[] = {
        {"w", &status->walk},       {"dw", &status->dontWalk},       {"pc", &status->clear},
        {"pcall", &status->pcalls}, {"papscall", &status->apscalls}, {"vokcall", &status->vokcalls},
        {"sr", &status->bads},      {"sg", &status->goods},
    };
    for (const auto& key : keys) {
        if (bson_getInt(bson_find(answer, key.key), key.value) < 0) {
            return _refuse("CID message doesn't contain info.");
        }
    }
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
