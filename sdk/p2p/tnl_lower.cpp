// The tunnel over this process's session layer and stream.
#include "p2p/tnl_lower.h"

#include <atomic>

#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"
#include "p2p/psl_device.h"
#include "p2p/psl_register.h"
#include "p2p/rsc_api.h"
#include "p2p/rsc_psl_link.h"
#include "p2p/tnl_core.h"

namespace {

// The master server used in private server mode (passed four times).
constexpr const char *kPrivateMaster = "127.0.0.1";

// One session layer per process, so one tunnel library hears its reports.
std::atomic<TunnelLib *> g_owner{nullptr};

void statusTrampoline(int sid, int status) {
    if (TunnelLib *t = g_owner.load()) t->statusForward(sid, status);
}

class RealLower : public TunnelLower {
  public:
    int start(int maxSessions, bool privateServers) override {
        PSL_Set_Max_Sessions(maxSessions);
        int r = privateServers ? PSL_Initialize_WithServers(0, kPrivateMaster, kPrivateMaster, kPrivateMaster,
                                                            kPrivateMaster)
                               : PSL_Initialize(0);
        if (r < 0) return r;
        rsc_PslLink_Install();
        r = RSC_Initialize();
        if (r < 0) {
            PSL_DeInitialize();
            return r;
        }
        return 0;
    }
    void stop() override {
        g_owner = nullptr;
        RSC_DeInitialize();
        PSL_DeInitialize();
    }
    int connect(const char *uid) override { return PSL_Connect_ByUID(uid); }
    int connectToSession(const char *uid, int sid) override { return PSL_Connect_ByUID_ToSession(uid, sid); }
    int reserveSession() override { return PSL_Reserve_Session(); }
    int connectAbortAll() override { return PSL_Connect_Abort_All(); }
    int connectAbort(int sid) override { return PSL_Connect_Abort(sid); }
    int check(int sid, PSLSessionInfoShort *info) override { return PSL_Session_Check(sid, info); }
    int peerProtocol(int sid) override { return PSL_Session_Peer_Protocol(sid); }
    void watch(int sid, TunnelLib *owner, bool on) override {
        if (on) g_owner = owner;
        PSL_Session_Set_Status_Callback(sid, on ? statusTrampoline : nullptr);
    }
    void close(int sid) override { PSL_Session_Close(sid); }
    int registerDevice(const char *uid) override { return PSL_Device_Register(uid, nullptr, nullptr); }
    int registrationRefused() override { return _PSL_Registered() == 0 && _PSL_RegisterState() == -1; }
    // Bounded waits: a cancel that comes before the wait starts would otherwise be lost.
    int accept() override { return PSL_Accept(500); }
    void acceptCancel() override { PSL_Accept_Cancel(); }
};

RealLower g_real;

}  // namespace

TunnelLower *tnl_RealLower(void) {
    return &g_real;
}
