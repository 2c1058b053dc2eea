// Process model of callrelayd: the listening socket and the CID socket, the parent's
// accept-and-fork loop and the child that serves one station connection.
#pragma once

#include <cstdint>

#include "relay.h"
#include "socket.h"

constexpr uint16_t CALLRELAYD_PORT = 50005;
constexpr int LISTEN_BACKLOG = 4;

// Opens the TCP listener on all interfaces at `port`, then the CID socket: 0, or negative after
// the failing step's logged line (both sockets then closed).
int initCommunication(uint16_t port, const char* cidHost, uint16_t cidPort, Socket& listener,
                      Socket& cid);

// A UDP socket connected to cidHost:cidPort (the host resolved by name): 0, or negative after
// a logged failure.
int openCidSocket(const char* cidHost, uint16_t cidPort, Socket& cid);

// Accepts the next station into `connection`: 0, or -1 after a logged failure.
int acceptConnection(const Socket& listener, Socket& connection);

// SIGCHLD handler: reaps every child that has ended; errno is left as it was.
void onChildExit(int signal);

// The parent's loop: accepts and forks for ever. Returns -1 only when a fork fails; a child
// never returns from it.
int serveStations(Socket& listener, const RelayTargets& targets);

// The child's life: relays the station's events until the first invalid one, then exits 255.
[[noreturn]] void serveStation(Socket& listener, Socket& connection, const RelayTargets& targets);
