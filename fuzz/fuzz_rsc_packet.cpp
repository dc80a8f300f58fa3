// Feeds arbitrary packet sequences to the stream's packet reader and, for the data packets it accepts, to a
// channel's receive side (ordering, acknowledgements, reads). Input: records of a u16 little-endian length
// followed by that many bytes; the top bit of the length picks the peer version (4 or 5), a record of length
// 0 reads everything readable and runs the idle hook.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "p2p/rsc_packet.h"
#include "p2p/rsc_recv.h"

namespace {

struct NullSink : RscAckSink {
    void sendNow(const uint8_t *pkt, size_t len) override {
        RSCPacket p;
        if (rsc_Packet_Check(pkt, len, &p) != 0) __builtin_trap();  // our own acknowledgements must parse
    }
    void queueAck(const uint8_t *hdr) override {
        RSCPacket p;
        if (rsc_Packet_Check(hdr, RSC_HEADER_SIZE, &p) != 0) __builtin_trap();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    RscReceiver r;
    NullSink sink;
    std::vector<uint8_t> out(4096);
    size_t off = 0;
    while (off + 2 <= size) {
        uint16_t raw = (uint16_t)(data[off] | (data[off + 1] << 8));
        off += 2;
        uint8_t version = (raw & 0x8000) ? 4 : 5;
        size_t len = raw & 0x7fff;
        if (len > size - off) len = size - off;
        if (len == 0) {
            while (r.readable()) {
                size_t before = r.bytesQueued();
                size_t n = r.read(out.data(), out.size());
                if (n > before) __builtin_trap();
                if (n == 0) break;
            }
            r.flushAcks(1, sink);
            continue;
        }
        RSCPacket p;
        if (rsc_Packet_Check(data + off, len, &p) == 0) {
            if (p.h.type == RSC_MSG_DATA || p.h.type == RSC_MSG_PRIVATE_DATA) r.onData(p, version, 1, sink);
            for (uint32_t i = 0; i < p.sackCount; ++i) (void)rsc_Seq_Cmp(p.sack[i].first, p.sack[i].last);
        }
        if (r.packetsStored() > RSC_RECV_WINDOW) __builtin_trap();
        off += len;
    }
    return 0;
}
