// The options that every program answers alike, before it does anything else: -h or --help
// prints the program's usage on standard output, --version its name and the project version.
// Neither touches the network, the CID, a device or the database.
#pragma once

#include <cstdio>
#include <cstring>

#include "version.h"

// True when `arg` (which may be null) is -h, --help or --version.
inline bool cli_isStandard(const char* arg) {
    return arg != nullptr &&
           (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0 || strcmp(arg, "--version") == 0);
}

// Answers a standard option on standard output: `usage` for help, "<program> <version>" for the
// version. The exit status: 0, or -1 when standard output could not take the answer.
inline int cli_answer(const char* arg, const char* program, const char* usage) {
    if (strcmp(arg, "--version") == 0) {
        printf("%s %s\n", program, CABINET_VERSION);
    } else {
        fputs(usage, stdout);
    }
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : -1;
}

// For a daemon that takes only the standard options: true when main ends at once with *status,
// the answer to one standard option, or 2 after the usage on standard error for anything else.
inline bool cli_endsDaemon(int argc, char** argv, const char* program, const char* usage,
                           int* status) {
    if (argc <= 1) {
        return false;
    }
    if (argc == 2 && cli_isStandard(argv[1])) {
        *status = cli_answer(argv[1], program, usage);
    } else {
        fputs(usage, stderr);
        *status = 2;
    }
    return true;
}
