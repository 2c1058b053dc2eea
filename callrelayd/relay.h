// Relay of decoded station events: CID commands on the shared CID socket, and configuration
// pushes from the database back to the station.
#pragma once

#include <cstdint>

#include "cid_sender.h"
#include "command.h"
#include "event.h"

constexpr const char* CONFIG_DATABASE = "/var/lib/vok/config.db";
constexpr uint32_t STATION_BASE_ADDRESS = 0xC0A8000A;  // 192.168.0.10, station 0
constexpr uint16_t STATION_CONFIG_PORT = 50006;
// A push gives up on a station that has not accepted its connection within this time, so that
// the station's next events wait no longer than this.
constexpr int APB_CONNECT_TIMEOUT_MS = 2000;

// Where the relay sends things: a value record handed down from main.
struct RelayTargets {
    int cidSocket;         // UDP socket connected to the CID (each child sends through its own)
    const char* database;  // configuration database file
    uint32_t stationBase;  // IPv4 address of station 0 in host order; station n is base + n
    uint16_t stationPort;  // configuration port of every station
};

// Acts on one valid event: a CID command through `cid`, a configuration push, or a logged
// "Unhandled event".
void relayEvent(const APBEvent& event, const RelayTargets& targets, CidSender& cid);

// Pushes the station's configuration row to it over a new TCP connection; logs failures.
void sendConfig(int32_t stationId, const RelayTargets& targets);

// Builds {"t": 1, every column of the station's v_sendtostation row} at the start of buffer:
// its length, or -1 after a logged failure (also when the row does not fit into capacity).
int loadConfig(const char* database, int32_t stationId, uint8_t* buffer, int capacity);

// A TCP connection to port `port` of station base + stationId, established within
// APB_CONNECT_TIMEOUT_MS and left non-blocking; or -1 after a logged failure.
int connectToAPB(int32_t stationId, uint32_t stationBase, uint16_t port);
