#include "bridge/TunnelAgent.h"

#include <mutex>

#include "runtime/ppc_tunnel.h"

namespace {

// The library keeps one C callback for the process; it reaches the handler through this slot.
std::mutex g_handlerMu;
TunnelAgent::StatusHandler g_handler;

void statusTrampoline(int errorCode, int sessionId, void *) {
    TunnelAgent::StatusHandler handler;
    {
        std::lock_guard lock(g_handlerMu);
        handler = g_handler;
    }
    if (handler) handler(errorCode, sessionId);
}

class RuntimeTunnelAgent final : public TunnelAgent {
  public:
    int initialize(int maxSessions) override { return ppc_tnl_AgentInitialize(maxSessions); }
    int deInitialize() override {
        const int rc = ppc_tnl_AgentDeInitialize();
        std::lock_guard lock(g_handlerMu);
        g_handler = nullptr;
        return rc;
    }
    int connect(const QByteArray &uid, const QByteArray &authData, int *errFromDevice) override {
        return ppc_tnl_AgentConnect(uid.constData(), authData.constData(), static_cast<int>(authData.size()),
                                    errFromDevice);
    }
    int abort(int sessionId) override { return ppc_tnl_AgentAbort(sessionId); }
    void setStatusHandler(StatusHandler handler) override {
        {
            std::lock_guard lock(g_handlerMu);
            g_handler = std::move(handler);
        }
        ppc_tnl_AgentSetStatusCallback(statusTrampoline, nullptr);
    }
    int portMapping(int sessionId, int localPort, int remotePort) override {
        return ppc_tnl_AgentPortMapping(sessionId, localPort, remotePort);
    }
    void stopPortMapping(int index) override { ppc_tnl_AgentStopPortMapping(index); }
    int sessionMode(int sessionId, uint8_t *mode) override { return ppc_tnl_SessionMode(sessionId, mode); }
};

}  // namespace

std::shared_ptr<TunnelAgent> TunnelAgent::runtimeAgent() {
    static const auto agent = std::make_shared<RuntimeTunnelAgent>();
    return agent;
}
