// Reliable stream packets: header, sequence arithmetic and the one bounded reader.
#include "p2p/rsc_packet.h"

#include <string.h>

#include "p2p/psl_packet.h"

RSCSeq rsc_Seq_Next(RSCSeq s) {
    if (s.id < RSC_EPOCH_LAST_ID) return RSCSeq{s.id + 1, s.epoch};
    return RSCSeq{0, s.epoch + 1};
}

int rsc_Seq_Cmp(RSCSeq a, RSCSeq b) {
    if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
    if (a.id != b.id) return a.id < b.id ? -1 : 1;
    return 0;
}

uint32_t rsc_Seq_Distance(RSCSeq a, RSCSeq b) {
    if (rsc_Seq_Cmp(a, b) >= 0) return 0;
    const uint64_t perEpoch = (uint64_t)RSC_EPOCH_LAST_ID + 1;
    // IDs above the last one of an epoch never occur in order; count them as the epoch's end.
    uint64_t ai = a.id > RSC_EPOCH_LAST_ID ? perEpoch : a.id;
    uint64_t bi = b.id > RSC_EPOCH_LAST_ID ? perEpoch : b.id;
    uint64_t epochs = (uint64_t)(b.epoch - a.epoch);
    if (epochs > 1) return UINT32_MAX;
    uint64_t d = epochs * perEpoch + bi - ai;
    return d > UINT32_MAX ? UINT32_MAX : (uint32_t)d;
}

void rsc_Header_Write(uint8_t *out, const RSCHeader *h) {
    psl_PutU32(out, h->magic);
    out[4] = h->type;
    out[5] = h->version;
    psl_PutU16(out + 6, h->length);
    psl_PutU32(out + 8, h->seq.id);
    psl_PutU32(out + 12, h->seq.epoch);
    out[16] = h->transmits;
    out[17] = h->index;
    psl_PutU16(out + 18, h->spare);
}

void rsc_Header_Read(const uint8_t *in, RSCHeader *h) {
    h->magic = psl_GetU32(in);
    h->type = in[4];
    h->version = in[5];
    h->length = psl_GetU16(in + 6);
    h->seq.id = psl_GetU32(in + 8);
    h->seq.epoch = psl_GetU32(in + 12);
    h->transmits = in[16];
    h->index = in[17];
    h->spare = psl_GetU16(in + 18);
}

RSCHeader rsc_Header_Make(uint8_t type, uint16_t length, RSCSeq seq, uint8_t index) {
    RSCHeader h{};
    h.magic = RSC_MAGIC;
    h.type = type;
    h.version = RSC_VERSION;
    h.length = length;
    h.seq = seq;
    h.index = index;
    return h;
}

bool rsc_Type_Known(uint8_t type) {
    switch (type) {
        case RSC_MSG_HEARTBIT:
        case RSC_MSG_DATA:
        case RSC_MSG_FIN:
        case RSC_MSG_QUIT:
        case RSC_MSG_PRIVATE_DATA:
        case RSC_MSG_ABORT:
        case RSC_MSG_HEARTBIT_ACK:
        case RSC_MSG_DATA_ACK:
        case RSC_MSG_FIN_ACK:
        case RSC_MSG_DATA_SACK2:
        case RSC_MSG_DATA_ACK2:
        case RSC_MSG_PRIVATE_DATA_ACK:
        case RSC_MSG_ABORT_ACK:
        case RSC_MSG_EXIT:
            return true;
        default:
            return false;
    }
}

int rsc_Packet_Check(const uint8_t *buf, size_t len, RSCPacket *out) {
    memset(out, 0, sizeof *out);
    if (!buf || len < RSC_HEADER_SIZE) return RSC_PKT_SHORT;
    rsc_Header_Read(buf, &out->h);
    const RSCHeader &h = out->h;
    if (h.magic != RSC_MAGIC) return RSC_PKT_BAD_MAGIC;
    if (!rsc_Type_Known(h.type)) return RSC_PKT_UNKNOWN_TYPE;
    if (len < (size_t)RSC_HEADER_SIZE + h.length) return RSC_PKT_SHORT;
    const uint8_t *p = buf + RSC_HEADER_SIZE;
    switch (h.type) {
        case RSC_MSG_DATA:
        case RSC_MSG_PRIVATE_DATA:
            if (h.length > RSC_MAX_DATA) return RSC_PKT_BAD_LENGTH;
            out->data = h.length ? p : nullptr;
            return 0;
        case RSC_MSG_DATA_SACK2: {
            if (h.length != RSC_SACK2_PAYLOAD) return RSC_PKT_BAD_LENGTH;
            uint32_t count = psl_GetU32(p + 4);
            if (count > RSC_SACK2_MAX_RANGES) return RSC_PKT_BAD_SACK;
            out->sackCount = count;
            for (uint32_t i = 0; i < count; ++i) {
                const uint8_t *r = p + 8 + 16 * i;
                out->sack[i].first = RSCSeq{psl_GetU32(r), psl_GetU32(r + 4)};
                out->sack[i].last = RSCSeq{psl_GetU32(r + 8), psl_GetU32(r + 12)};
            }
            return 0;
        }
        default:
            return h.length == 0 ? 0 : RSC_PKT_BAD_LENGTH;
    }
}

size_t rsc_Sack2_Write(uint8_t *out, const RSCHeader *tmpl, uint8_t index, RSCSeq cum,
                       const RSCSackRange *ranges, uint32_t count) {
    if (count > RSC_SACK2_MAX_RANGES) count = RSC_SACK2_MAX_RANGES;
    RSCHeader h = *tmpl;
    h.magic = RSC_MAGIC;
    h.type = RSC_MSG_DATA_SACK2;
    h.version = RSC_VERSION;
    h.length = RSC_SACK2_PAYLOAD;
    h.index = index;
    h.seq = cum;
    rsc_Header_Write(out, &h);
    uint8_t *p = out + RSC_HEADER_SIZE;
    memset(p, 0, RSC_SACK2_PAYLOAD);
    psl_PutU32(p + 4, count);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t *r = p + 8 + 16 * i;
        psl_PutU32(r, ranges[i].first.id);
        psl_PutU32(r + 4, ranges[i].first.epoch);
        psl_PutU32(r + 8, ranges[i].last.id);
        psl_PutU32(r + 12, ranges[i].last.epoch);
    }
    return RSC_HEADER_SIZE + RSC_SACK2_PAYLOAD;
}
