// Whole-program benchmarks: the real binaries run inside this process's private network and
// mount namespaces (systest::enterPrivateNamespaces), so they need root.
#pragma once

#include "table.h"

struct MacroOptions {
    int events;    // pedestrian calls per station in each relay measurement
    int rounds;    // relay rounds; each measures callrelayd, then the floor
    int toolRuns;  // runs of stationtool and of snmpget, taken in turns
};

// callrelayd next to relayfloor: latency one event at a time, and events per second with every
// station sending at full speed, for 1 and 17 stations. Needs /dev/log captured
// (systest::SyslogCapture). Throws std::runtime_error when the relay loses events.
void addRelayRows(Table& table, const MacroOptions& options);

// One `stationtool 3 get vol_max` next to one `snmpget` of the same object, each a whole run of
// the program against the same station agent. Throws std::runtime_error when a run fails.
void addToolRows(Table& table, const MacroOptions& options);
