// Feeds arbitrary bytes to the tunnel as what its session's stream delivered: to the message handler of a
// device and of a client (connects make sockets but dial nothing), and to the device's reading of an
// authentication request. The first byte picks the road: 0 device handler, 1 client handler, 2 request.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "p2p/tnl_core.h"
#include "p2p/tnl_wire.h"

namespace {

// Nothing below the tunnel: no sessions, no stream.
class NoLower : public TunnelLower {
  public:
    int start(int, bool) override { return 0; }
    void stop() override {}
    int connect(const char *) override { return -19; }
    int connectToSession(const char *, int) override { return -19; }
    int reserveSession() override { return -18; }
    int connectAbortAll() override { return 0; }
    int connectAbort(int) override { return 0; }
    int check(int, PSLSessionInfoShort *) override { return -14; }
    int peerProtocol(int) override { return -14; }
    void watch(int, TunnelLib *, bool) override {}
    void close(int) override {}
    int registerDevice(const char *) override { return 0; }
    int registrationRefused() override { return 0; }
    int accept() override { return -39; }
    void acceptCancel() override {}
};

TunnelLib *lib(bool device) {
    static NoLower lower;
    static TunnelLib *dev = [] {
        TunnelLib *t = new TunnelLib(&lower);
        t->serverInitialize(1);
        t->setDialLoopback(false);
        return t;
    }();
    static TunnelLib *cli = [] {
        TunnelLib *t = new TunnelLib(&lower);
        t->agentInitialize(1);
        t->setDialLoopback(false);
        return t;
    }();
    return device ? dev : cli;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t road = data[0] % 3;
    ++data;
    --size;
    if (road < 2) {
        lib(road == 0)->feedMessages(road == 0, data, size);
        return 0;
    }
    size_t off = 0;
    uint8_t head[TNL_AUTH_HEAD];
    TunnelAuthHead h{};
    std::vector<uint8_t> auth;
    const int r = tnl_ReadAuthRequest(
        [&](uint8_t *buf, int n) {
            if ((size_t)n > size - off) return -1;
            for (int i = 0; i < n; ++i) buf[i] = data[off + (size_t)i];
            off += (size_t)n;
            return 0;
        },
        head, &h, &auth);
    if (r == 0) {
        // An accepted request never reads more than it declared, and never more than 1,000 bytes.
        if (h.authLength > TNL_AUTH_MAX || auth.size() != h.authLength) __builtin_trap();
        if (off != TNL_AUTH_HEAD + (size_t)h.authLength) __builtin_trap();
    }
    return 0;
}
