// bsoncat: prints a stream of length-prefixed BSON documents from standard input as text.
#include <cstdio>

#include "stream.h"

int main() {
    return bsoncat_run(stdin, stdout);
}
