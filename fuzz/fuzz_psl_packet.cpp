// Feeds arbitrary bytes to the session packet receive paths: once as a datagram through the framing and every
// form's readers of its type, once as a TCP stream cut at points that the first two bytes choose.
#include <cstddef>
#include <cstdint>

#include "p2p/psl_messages.h"
#include "p2p/psl_packet.h"

namespace {

void readAll(const uint8_t *plain, size_t size, const PSLPacketHeader *h) {
    const uint8_t *payload = plain + PSL_HEADER_SIZE;
    size_t len = size - PSL_HEADER_SIZE;
    const PslMsgDef *m = psl_Msg_ByType(h->type);
    if (!m) return;
    volatile uint64_t sink = 0;
    for (size_t fi = 0; fi < m->formCount; ++fi) {
        const PslFormDef *f = &m->forms[fi];
        for (size_t k = 0; k < f->fieldCount; ++k) {
            PslValue v{};
            if (!f->fields[k].name || psl_Msg_Get(f, payload, len, f->fields[k].name, &v) != 0) continue;
            sink = sink + (uint64_t)v.num;
            for (size_t i = 0; i < v.len; ++i) sink = sink + v.bytes[i];
            for (size_t i = 0; i < v.count * 4 && f->fields[k].kind == PSL_U32S; ++i)
                sink = sink + v.bytes[i];
        }
    }
    if (h->type == 0x1008) {
        PslGroupRecords g{};
        if (psl_ReadQueryGroupR(payload, len, &g) == 0) {
            for (size_t i = 0; i < g.serverCount * 16; ++i) sink = sink + g.servers[i];
            for (size_t i = 0; i < g.blobLen; ++i) sink = sink + g.blob[i];
        }
    }
    const uint8_t *d = nullptr;
    size_t dl = 0;
    if (psl_DataPayload(h, payload, len, &d, &dl, nullptr, nullptr) == 0) {
        for (size_t i = 0; i < dl; ++i) sink = sink + d[i];
    }
}

void onPacket(const uint8_t *p, size_t n, const PSLPacketHeader *h, void *) {
    readAll(p, n, h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t plain[PSL_UDP_RECV_MAX];
    PSLPacketHeader h{};
    int n = psl_ReadDatagram(data, size, plain, &h);
    if (n > 0) readAll(plain, (size_t)n, &h);

    if (size < 2) return 0;
    size_t cutA = data[0] % (size + 1), cutB = (data[1] * 7u) % (size + 1);
    if (cutA > cutB) {
        size_t t = cutA;
        cutA = cutB;
        cutB = t;
    }
    PslStreamFramer f;
    psl_StreamFramer_Init(&f);
    psl_StreamFramer_Feed(&f, data, cutA, onPacket, nullptr);
    psl_StreamFramer_Feed(&f, data + cutA, cutB - cutA, onPacket, nullptr);
    psl_StreamFramer_Feed(&f, data + cutB, size - cutB, onPacket, nullptr);
    return 0;
}
