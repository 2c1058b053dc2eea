// bsoncat: prints a stream of length-prefixed BSON documents from standard input as text.
#include <cstdio>

#include "cli.h"
#include "stream.h"

static const char* const USAGE =
    "Usage: bsoncat < STREAM\n"
    "Prints the length-prefixed BSON documents (5 to 4095 bytes each) of standard\n"
    "input as indented text, e.g. sigstat --binary | bsoncat. Other arguments are\n"
    "ignored.\n";

int main(int argc, char** argv) {
    if (argc > 1 && cli_isStandard(argv[1])) {
        return cli_answer(argv[1], "bsoncat", USAGE);
    }
    return bsoncat_run(stdin, stdout, stderr);
}
