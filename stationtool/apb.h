// One SNMP get or set with the agent of an APB station: the setting's object identifier from the
// configuration database, request and response printed on standard output, errors on standard
// error.
#pragma once

#include <cstdint>

#define APB_SNMP_PORT 161
#define APB_COMMUNITY "mosaic"
#define APB_MAX_ID 16
#define APB_RECEIVE_TIMEOUT_S 5
#define APB_MESSAGE_SIZE 1024

// Opens a UDP socket connected to the agent of station `id` (192.168.0.(10 + id):161), with the
// receive timeout set; the descriptor, or -1.
int apb_openSocket(unsigned id);
// Reads setting `setting` of station `id` into `value`; 0, or -1. Like the exchanges below, it
// passes on SNMP_EXIT_TOO_LONG and CONFIG_CLOSE_FAILED, which end the process.
int apb_snmpGet(const char* setting, unsigned id, uint32_t* value);
// Writes `value` to setting `setting` of station `id`; 0 when the station confirmed the value.
int apb_snmpSet(const char* setting, unsigned id, int32_t value);

// How an exchange reaches the agent of a station: a connected UDP descriptor, or -1.
typedef int (*apb_opener_t)(unsigned id);
// Opens a UDP socket with the receive timeout, connected to `host`:`port`; the descriptor or -1.
int _apb_connect(const char* host, uint16_t port);
// A request-id of 0..1023 (the message sizes leave room for no more), drawn afresh for each run
// so that a late answer to an earlier run cannot pass for the answer to this one.
uint32_t _apb_drawRequestId();
// The get and set exchanges once the object identifier text is known. Only an SNMPv1
// GetResponse with `request_id`, the community and the object identifier, whose INTEGERs all
// hold numbers of -2^31 .. 2^32 - 1, is taken as the answer; any other datagram is reported on
// standard error and ignored until APB_RECEIVE_TIMEOUT_S after the send.
int _apb_getOID(const char* oid, unsigned id, uint32_t request_id, uint32_t* value,
                apb_opener_t open);
int _apb_setOID(const char* oid, unsigned id, uint32_t request_id, int32_t value,
                apb_opener_t open);
