// paneld's connection to the CID: a UDP socket connected to it, opened for one status query.
#pragma once

#include <cstdint>

#include "cid.h"
#include "descriptor.h"

class CIDCommand;

// Owns one UDP socket connected to the CID, with a 1-second receive timeout. Every failure is an
// exception: std::system_error for a failed call, std::runtime_error for a command that could
// not be built.
class CIDSocket {
  public:
    // Connects to the CID at 127.0.0.1:5000.
    CIDSocket();
    // Connects to `host` (dotted IPv4 text) and `port`; for tests that play the CID elsewhere.
    CIDSocket(const char* host, uint16_t port);

    // Sends the status query built in `buffer` and receives the answer into it; the bytes
    // received, unchecked. A query refused by a closed port is sent once more after a pause,
    // within the one-second answer budget.
    unsigned query(uint8_t* buffer, uint32_t capacity);
    // Sends an APB status report (cid_send); the number of bytes sent.
    int sendStatusReport(uint16_t reds, uint16_t greens);

    int descriptor() const { return descriptor_.fd(); }

  private:
    // Builds `command` in `buffer` and sends it (cid_send); the number of bytes sent.
    ssize_t sendCommand(const CIDCommand& command, uint8_t* buffer, uint32_t capacity);

    Descriptor descriptor_;
};
