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

// Sends one command datagram on a connected CID socket; send's result. A CID that was down
// leaves the ICMP error of an earlier datagram on the socket, which the next send reports as
// ECONNREFUSED without sending anything: that send is made once more at once.
ssize_t cid_send(int sock, const void* bytes, size_t length);
