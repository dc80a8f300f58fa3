// Feeds arbitrary packet sequences to the stream's packet reader, for the data packets it accepts to a
// channel's receive side (ordering, acknowledgements, reads), and all of them to an established channel's
// receive callback over the in-process fake session (a channel the input closed is replaced). Input: records
// of a u16 little-endian length followed by that many bytes; the top bit of the length picks the peer version
// (4 or 5), a record of length 0 reads everything readable and runs the idle hook.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "p2p/rsc_api.h"
#include "p2p/rsc_fake_session.h"
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

FakeSession *g_link;
int g_id = -1;

// An established channel on session 2, its peer scripted: session 2's own packets vanish.
int channel() {
    if (!g_link) {
        g_link = new FakeSession(1);
        g_link->protocol = 5;  // established on the first packet
        g_link->mute(2);
        rsc_Session_Install(g_link);
        RSC_Initialize();
    }
    if (g_id >= 0 && RSC_Write(g_id, nullptr, 0) == 0) return g_id;
    if (g_id >= 0) RSC_Abort(g_id);
    static std::atomic<bool> up;
    up = false;
    std::thread hello([] {
        RSCHeader h = rsc_Header_Make(RSC_MSG_HEARTBIT, 0, RSCSeq{0, 0}, 77);
        std::vector<uint8_t> b(RSC_HEADER_SIZE);
        rsc_Header_Write(b.data(), &h);
        for (int i = 0; i < 200 && !up; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            g_link->inject(2, 0, b);
        }
    });
    g_id = RSC_Create(2, 1000, 0);
    up = true;
    hello.join();
    return g_id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    RscReceiver r;
    NullSink sink;
    const int id = channel();
    uint8_t rbuf[2048];
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
        if (id >= 0) {
            g_link->inject(2, 0, std::vector<uint8_t>(data + off, data + off + len));
            RSC_Read(id, rbuf, sizeof rbuf, 0);
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
