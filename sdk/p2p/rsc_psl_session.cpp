// The stream's default session layer: the library's own sessions (table lock, channel writes, session
// checks, channel switches and the private callback slots).
#include <atomic>

#include "p2p/psl_channels.h"
#include "p2p/psl_private.h"
#include "p2p/psl_session.h"
#include "p2p/rsc_session.h"

namespace {

// The slots hold the session layer's own function type: these forward to the stream's callbacks (one
// receive and one idle function serve every channel).
std::atomic<RscRecvFn> g_recv{nullptr};
std::atomic<RscIdleFn> g_idle{nullptr};

void recvTrampoline(int sid, int channel, const uint8_t *data, int length, int status) {
    if (RscRecvFn f = g_recv.load()) f(sid, (uint8_t)channel, data, length, status);
}
void idleTrampoline(int sid, int channel, const uint8_t *, int, int) {
    if (RscIdleFn f = g_idle.load()) f(sid, (uint8_t)channel, 0, 0, 0);
}

class PslRscSession : public RscSession {
  public:
    void lock() override { psl_session_lock(); }
    void unlock() override { psl_session_unlock(); }
    int write(int sid, const uint8_t *buf, int len, uint8_t ch) override {
        if (len < 0) return PSL_ERR_INVALID;
        return PSL_Session_Write(sid, buf, (uint32_t)len, ch);
    }
    int check(int sid) override { return _PSL_CheckSession(sid); }
    int peerProtocol(int sid) override { return PSL_Session_Peer_Protocol(sid); }
    void channelOn(int sid, uint8_t ch) override { PSL_Session_Channel_ON(sid, ch); }
    void channelOff(int sid, uint8_t ch) override { PSL_Session_Channel_OFF(sid, ch); }
    void setRecvCallback(int sid, uint8_t ch, RscRecvFn fn) override {
        if (fn) g_recv = fn;
        PSL_Private_Set_Channel_Recv_Callback(sid, ch, fn ? recvTrampoline : nullptr, PSL_PRIVATE_MAGIC);
    }
    void setIdleCallback(int sid, uint8_t ch, RscIdleFn fn) override {
        if (fn) g_idle = fn;
        PSL_Private_Set_Channel_Idle_Callback(sid, ch, fn ? idleTrampoline : nullptr, PSL_PRIVATE_MAGIC);
    }
};

}  // namespace

RscSession *rsc_Session_Default(void) {
    static PslRscSession s;
    return &s;
}
