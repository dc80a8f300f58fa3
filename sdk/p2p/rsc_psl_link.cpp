#include "p2p/rsc_psl_link.h"

#include "p2p/psl_channels.h"
#include "p2p/psl_packet.h"
#include "p2p/psl_private.h"
#include "p2p/psl_session.h"
#include "p2p/rsc_api.h"
#include "p2p/rsc_session.h"

namespace {

// The session layer has no idle hook of its own yet: acknowledgements are flushed after each packet.
void recvTrampoline(int sid, int channel, const uint8_t *data, int length, int status) {
    RSCRecvCB(sid, (uint8_t)channel, data, length, status);
    if (data && status >= 0) RSCAckFlushCB(sid, (uint8_t)channel, 0, 0, 0);
}

class PslLink : public RscSession {
  public:
    void lock() override { psl_session_lock(); }
    void unlock() override { psl_session_unlock(); }
    int write(int sid, const uint8_t *buf, int len, uint8_t ch) override {
        const int r = PSL_Session_Write(sid, buf, (uint32_t)len, ch);
        return r < 0 ? r : (r == 0 ? len : r);
    }
    int check(int sid) override { return _PSL_CheckSession(sid); }
    int peerProtocol(int sid) override { return PSL_Session_Peer_Protocol(sid); }
    void channelOn(int sid, uint8_t ch) override { PSL_Session_Channel_ON(sid, ch); }
    void channelOff(int sid, uint8_t ch) override { PSL_Session_Channel_OFF(sid, ch); }
    void setRecvCallback(int sid, uint8_t ch, RscRecvFn fn) override {
        PSL_Private_Set_Channel_Recv_Callback(sid, ch, fn ? recvTrampoline : nullptr, PSL_PRIVATE_MAGIC);
    }
    void setIdleCallback(int, uint8_t, RscIdleFn) override {}
};

PslLink g_link;

}  // namespace

void rsc_PslLink_Install(void) {
    rsc_Session_Install(&g_link);
}
