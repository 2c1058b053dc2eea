// Process model of callrelayd: the listening socket and the CID socket, the parent's
// accept-and-fork loop and the child that serves one station connection.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "log.h"
#include "relay.h"
#include "socket.h"

constexpr uint16_t CALLRELAYD_PORT = 50005;
constexpr int LISTEN_BACKLOG = 4;
// TCP keepalive of every station connection: a station that vanished without a word (power or
// link lost) is found after 60 + 5 * 10 = 110 seconds of silence, and its child ends.
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 5;
// How long the child of a station's older connection goes on relaying what that connection
// carries once the station has connected anew: a message sent just before the reconnect, or the
// rest of one cut in two, still arrives.
constexpr std::chrono::seconds REPLACED_DRAIN{1};
// A station's children at most: serving, draining, and one older still delivering the commands
// it holds for the CID.
constexpr size_t STATION_CHILDREN_MAX = 3;

// Opens the TCP listener on all interfaces at `port`, then the CID socket: 0, or negative after
// the failing step's logged line (both sockets then closed).
int initCommunication(uint16_t port, const char* cidHost, uint16_t cidPort, Socket& listener,
                      Socket& cid);

// A UDP socket connected to cidHost:cidPort (the host resolved by name): 0, or negative after
// a logged failure.
int openCidSocket(const char* cidHost, uint16_t cidPort, Socket& cid);

// Accepts the next connection into `connection`, its peer's address into `peer`: 0, or -1
// with errno set after a failure, logged through `failures`.
int acceptConnection(const Socket& listener, Socket& connection, sockaddr_in& peer,
                     RepeatedWarning& failures);

// The station whose address `peer` is (stationBase + 0..16, host order), or -1 for any other.
int32_t stationOf(const sockaddr_in& peer, uint32_t stationBase);

// SIGCHLD reaps (onChildExit), SIGHUP and SIGPIPE are ignored, and SIGUSR1 and SIGUSR2, with
// which the parent tells a child that its station has connected anew or that it is to give up
// the commands it holds, are held for the child to read.
void installSignalHandlers();

// SIGCHLD handler: reaps every child that has ended; errno is left as it was.
void onChildExit(int signal);

// The parent's loop: accepts for ever, giving each connection from a station's address a child
// that replaces the child of the station's older connection. Returns only in a child
// (serveStation's status).
int serveStations(Socket& listener, const RelayTargets& targets);

// Relays the events of `station` until the connection ends, then delivers (or, after a minute or
// when the parent says so, drops) the commands held for the CID; 0 when the station closed it or
// connected anew, -1 on a receive or framing error.
int serveStation(Socket& listener, Socket& connection, int32_t station,
                 const RelayTargets& targets);
