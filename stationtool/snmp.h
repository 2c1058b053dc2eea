// SNMP version 1 message codec (BER): builds one GetRequest or SetRequest with one variable
// binding and reads the elements of a response in place, in buffers the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Results of the element readers.
#define SNMP_OK 1
#define SNMP_WRONG_TYPE 16
#define SNMP_TOO_LONG 32
#define SNMP_MALFORMED 64

// Tags in use.
#define SNMP_INTEGER 0x02
#define SNMP_OCTET_STRING 0x04
#define SNMP_NULL 0x05
#define SNMP_OBJECT_ID 0x06
#define SNMP_SEQUENCE 0x30
#define SNMP_IPADDRESS 0x40
#define SNMP_TIMETICKS 0x43
#define SNMP_GET_REQUEST 0xA0
#define SNMP_GET_RESPONSE 0xA2
#define SNMP_SET_REQUEST 0xA3

// Largest length snmp_setLength writes; beyond it the builder returns SNMP_EXIT_TOO_LONG, the
// exit status main ends with.
#define SNMP_MAX_CONSTRUCTED_LENGTH 239
// Largest short-form length octet (0x80 on announces the long form): a built message's content.
#define SNMP_MAX_SHORT_LENGTH 127
#define SNMP_EXIT_TOO_LONG (-123)
// Largest object identifier element snmp_encodeOID writes (short-form length).
#define SNMP_MAX_OID_SIZE 129

// Positions of the elements of a message inside the caller's buffer (see snmp_parseMessage).
typedef struct {
    const uint8_t* message;
    const uint8_t* version;
    const uint8_t* community;
    const uint8_t* pdu;
    const uint8_t* request_id;
    const uint8_t* error_status;
    const uint8_t* error_index;
    const uint8_t* varbind_list;
    const uint8_t* first_varbind;
    const uint8_t* varbind;
    int varbind_index;
} snmp_message_t;

// Builds a message with one varbind (name `oid`, value element `value`) into `buffer`; its size,
// or -1 when it does not fit the buffer or SNMP_MAX_SHORT_LENGTH octets of content, or (nothing
// written) SNMP_EXIT_TOO_LONG for a content above 239 octets.
int snmp_buildMessage(uint8_t* buffer, size_t size, const char* community, uint8_t pdu,
                      uint32_t request_id, const char* oid, const uint8_t* value);

// Checks that a received message of `size` octets has the shape snmp_parseMessage expects:
// short-form outer headers, a three-octet version, every element that the parser, the readers
// and the printer read inside its container. SNMP_OK, or SNMP_MALFORMED and a reason in `why`.
int snmp_checkMessage(const uint8_t* message, size_t size, const char** why);

// Sets the positions of `parsed` at the fixed offsets of a one-varbind message; returns 1.
// Reads outside bytes only after snmp_checkMessage has accepted them.
int snmp_parseMessage(snmp_message_t* parsed, const uint8_t* message);

// Prints the operator's dump of a built or checked message.
void snmp_printMessage(FILE* stream, const uint8_t* message);

// Element writers; each returns the number of octets written.
int snmp_encodeInteger(uint8_t* dest, uint32_t value);
int snmp_encodeTimeTicks(uint8_t* dest, uint32_t value);
int snmp_encodeOctetString(uint8_t* dest, const void* content, uint8_t length);
int snmp_encodeNull(uint8_t* dest);
int snmp_encodeIpAddress(uint8_t* dest, uint32_t value);
// Writes the identifier of dotted text "1.3.n.n..." (first octet always 0x2B) into
// SNMP_MAX_OID_SIZE octets; -1 for a text of no numbers or too long an encoding.
int snmp_encodeOID(uint8_t* dest, const char* oid);
// Writes one base-128 sub-identifier: 1 octet up to 127, 2 up to 16383, at most 5.
int snmp_encodeSubidentifier(uint8_t* dest, uint32_t number);
// Reads one sub-identifier (the caller makes sure its octets are there); its octet count to
// `count`.
uint32_t snmp_decodeSubidentifier(int* count, const uint8_t* source);

// Writes the short-form length of a constructed element; 0, or SNMP_EXIT_TOO_LONG above 239.
int snmp_setLength(uint8_t* element, size_t length);

// Element readers over trusted (built or checked) octets.
uint8_t snmp_typeOf(const uint8_t* element);
uint32_t snmp_contentLength(const uint8_t* element);
size_t snmp_elementSize(const uint8_t* element);
// The value element of a varbind: the element after its name.
const uint8_t* snmp_valueOf(const uint8_t* varbind);
// Decodes a two's-complement INTEGER of -2^31 .. 2^32 - 1 into its 32-bit pattern. Otherwise
// `dest` is left unchanged: SNMP_WRONG_TYPE for another tag, SNMP_TOO_LONG for a number outside
// that range, SNMP_MALFORMED for no content octet.
int snmp_decodeInteger(const uint8_t* element, uint32_t* dest);
// Copies the content (no terminator, tag not tested); SNMP_TOO_LONG when it does not fit.
int snmp_copyOctetString(const uint8_t* element, void* dest, size_t size);
// 0 when the content equals `text` (tag not tested), else non-zero.
int snmp_compareOctetString(const char* text, const uint8_t* element);
// 0 when the name of `varbind` is, octet for octet, the element snmp_encodeOID makes of the
// dotted text, else 1.
int snmp_compareOID(const char* oid, const uint8_t* varbind);
// 1 when the request-id of `parsed` decodes to `number`, else 0.
int snmp_requestIdMatches(const snmp_message_t* parsed, uint32_t number);
