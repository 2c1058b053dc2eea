// The CID command protocol: one BSON command document per UDP datagram to 127.0.0.1:5000.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr const char* CID_HOST = "127.0.0.1";
constexpr uint16_t CID_PORT = 5000;
constexpr int CID_BUFFER_SIZE = 1024;
constexpr int CID_TIMEOUT_SECONDS = 1;

// Command types, the value of the key "t".
enum CidCommandType : int32_t {
    CID_INTERSECTION_STATUS = 1,
    CID_PED_CALL = 2,
    CID_APS_CALL = 3,
    CID_VOK_CALL = 4,
    CID_APB_STATUS_REPORT = 5,
    CID_MII_RESET = 6,
    CID_RELOAD_CONFIG = 7,
    CID_BUTTON_DOWN = 8,
    CID_BUTTON_UP = 9,
    CID_SAVE_APB_LOG = 10,
};

// Opens a UDP socket with a 1-second receive timeout, connected to the CID. The descriptor, or
// -1 after two "cid_getSocket: ..." lines on standard error.
int cid_getSocket();
// Sends `length` bytes as one datagram with MSG_NOSIGNAL, once more at once when the socket
// reports ECONNREFUSED: that error belongs to an earlier datagram (the ICMP "port unreachable" of
// a CID that was restarting), not to this one. send's result, errno set on failure.
ssize_t cid_send(int fd, const uint8_t* buffer, size_t length);

// The step of cid_query that failed.
enum cid_queryStep { CID_QUERY_SEND, CID_QUERY_RECEIVE };

// Sends the `length`-byte query at the start of `buffer` on fd, a socket with the 1-second
// receive timeout, and receives the answer into `buffer` (up to `capacity` bytes). A query that
// the CID's port refused (a CID restarting) is sent once more after a pause, within the same
// second. The bytes received, or -1 with errno set and the failed step in *failed.
ssize_t cid_query(int fd, uint8_t* buffer, size_t length, size_t capacity, cid_queryStep* failed);
