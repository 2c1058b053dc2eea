// Micro benchmarks: this project's codecs next to reference libraries, in process.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

// One measurement: this project's code and a reference doing the same work, each a benchmark
// body that runs the state's iterations.
struct MicroPair {
    std::string measurement;
    std::string reference;
    std::function<void(benchmark::State&)> ours;
    std::function<void(benchmark::State&)> theirs;
};

// The documents of the system built and read with lib/bson and with libbson.
std::vector<MicroPair> bsonPairs();
// What differs between the two sides of each BSON pair (bytes built, values read); empty when
// they agree, which the comparison needs to mean anything.
std::vector<std::string> bsonMismatches();

// The station SNMP messages built and parsed with stationtool's codec and with net-snmp.
std::vector<MicroPair> snmpPairs();
std::vector<std::string> snmpMismatches();
