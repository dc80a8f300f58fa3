// The session message catalogue: one table row per message type, each form of a message with its payload
// length, route code and fields. Every builder is a pure function of the named values it is given; every
// reader stays within the payload's length.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "p2p/psl_packet.h"

enum : uint32_t { PSL_LIBRARY_VERSION = 0x03010523 };
enum { PSL_UID_LEN = 20 };

enum PslFieldKind : uint8_t {
    PSL_U8,
    PSL_U16,
    PSL_U32,
    PSL_I32,
    PSL_TEXT,       // NUL-padded characters, width bytes (a UID is 20)
    PSL_BYTES,      // raw bytes, width bytes
    PSL_ADDR,       // one 16-byte address block
    PSL_ADDRS,      // width address blocks
    PSL_U32S,       // width u32 words
    PSL_CONST8,     // fixed byte, not an input
    PSL_CONST32,    // fixed u32, not an input
    PSL_CONSTTEXT,  // fixed characters, not an input
    PSL_TAIL,       // raw bytes from offset to the end of the payload; width, when not 0, is their maximum
    PSL_ADDRLIST,   // address blocks from offset to the end, as many as the count field says
};

struct PslFieldDef {
    const char *name;
    uint16_t offset;
    uint16_t width;  // bytes, or elements for lists
    PslFieldKind kind;
    uint32_t constant;
    const char *text;  // PSL_CONSTTEXT
};

struct PslFormDef {
    const char *form;
    uint16_t length;  // fixed payload length; the base length when the form ends in a tail
    uint8_t route;
    const PslFieldDef *fields;
    size_t fieldCount;
};

struct PslMsgDef {
    const char *name;
    uint16_t type;
    const PslFormDef *forms;
    size_t formCount;
};

const PslMsgDef *psl_Msg_ByName(const char *name);
const PslMsgDef *psl_Msg_ByType(uint16_t type);
const PslMsgDef *psl_Msg_Table(size_t *count);
const PslFormDef *psl_Msg_Form(const PslMsgDef *msg, const char *form);
// The form a received payload of len bytes reads with: the longest fixed form that fits.
const PslFormDef *psl_Msg_FormFor(const PslMsgDef *msg, size_t len);
const PslFieldDef *psl_Form_Field(const PslFormDef *form, const char *name);

// A named input or output value. Numbers in num; texts, bytes, address blocks (16 bytes each) in bytes/len;
// u32 and u16 lists in words/count.
struct PslValue {
    const char *name;
    int64_t num;
    const uint8_t *bytes;
    size_t len;
    const uint32_t *words;
    size_t count;
};

// Header values may be given by name as well: "seq", "sessionTag", "channel", "extra", "routeFlags", "flags".
// Returns the packet's size (header included), or -1 for an unknown name, a value that does not fit its
// field or a packet over cap or PSL_SEND_MAX.
int psl_Msg_Build(const PslMsgDef *msg, const PslFormDef *form, const PslValue *values, size_t n,
                  uint8_t *out, size_t cap);

// Reads one field of a payload of len bytes. 0, or -1 when the field is not in the form or lies past len.
// Byte values point into the payload; list counts are bounded by the payload.
int psl_Msg_Get(const PslFormDef *form, const uint8_t *payload, size_t len, const char *name, PslValue *out);

// Address block from IPv4 and port (both network order); 0.0.0.0:0 is sixteen zero bytes.
void psl_AddrBlock(uint8_t *out, uint32_t ipv4Net, uint16_t portNet);

// MSG_QUERY_GROUP_R: the type-length-value records read within the payload.
struct PslGroupRecords {
    char uid[PSL_UID_LEN + 1];
    const uint8_t *addr;  // observed address block
    uint16_t recordCount;
    int hasGroupIds;
    uint16_t groupIds[3];
    const uint8_t *servers;  // serverCount blocks
    size_t serverCount;
    const uint8_t *blob;
    size_t blobLen;
};
int psl_ReadQueryGroupR(const uint8_t *payload, size_t len, PslGroupRecords *out);

// User data of a received data message: skips the session-word block (as long as its first word says) when
// PSL_FLAG_SESSION_EXT is set. -1 when the block claims more than the payload holds.
int psl_DataPayload(const PSLPacketHeader *hdr, const uint8_t *payload, size_t len, const uint8_t **data,
                    size_t *dataLen, uint32_t *randomID, uint32_t *mac);

// Builders that the session layer's tasks call directly.
int psl_Build_Probe(uint8_t *out, size_t cap, int selector, uint32_t counter, uint16_t instance,
                    uint8_t byte);
int psl_Build_QueryGroup(uint8_t *out, size_t cap, const char *uid, uint8_t value);
int psl_Build_QueryGroupV1(uint8_t *out, size_t cap, const char *uid, uint8_t value);
// Data on type (0x0407, 0x0408, 0x0504, 0x0502); with ext the session words precede the data.
int psl_Build_Data(uint8_t *out, size_t cap, uint16_t type, uint16_t seq, uint16_t sessionTag,
                   uint8_t channel, int head64, int ext, uint32_t randomID, uint32_t mac, const uint8_t *data,
                   size_t len);

// The stand-alone senders. The instance number is drawn when the session layer starts.
void psl_SetInstance(uint16_t instance);
int _PSL_SendProbe(LinuxConn *conn, const char *host, uint16_t port, int selector, uint8_t byte);
int _PSL_SendQueryGroup(LinuxConn *conn, const char *host, uint16_t port, const char *uid, uint8_t value);
int _PSL_SendQueryGroupV1(LinuxConn *conn, const char *host, uint16_t port, const char *uid, uint8_t value);
