// The port through which the connection service drives the P2P tunnel agent. The real one calls the
// runtime's ppc_tnl_* entry points; FakeTunnelAgent scripts them for tests. Results are the agent's codes:
// a session id or mapping index (>= 0), or a negative error (-30000 not started, -30002 port taken,
// -30006 dropped or no authentication answer, -30007 already started, -30008 refused, ...).
#pragma once

#include <QByteArray>
#include <cstdint>
#include <functional>
#include <memory>

class TunnelAgent {
  public:
    // Called on a thread of the library; errorCode -30006: the session `sessionId` dropped.
    using StatusHandler = std::function<void(int errorCode, int sessionId)>;

    virtual ~TunnelAgent() = default;
    virtual int initialize(int maxSessions) = 0;
    virtual int deInitialize() = 0;
    // Blocks for the whole connect and authentication exchange; `errFromDevice` is set only when the
    // device answered.
    virtual int connect(const QByteArray &uid, const QByteArray &authData, int *errFromDevice) = 0;
    virtual int abort(int sessionId) = 0;
    // One handler for the process; a de-initialisation clears it.
    virtual void setStatusHandler(StatusHandler handler) = 0;
    virtual int portMapping(int sessionId, int localPort, int remotePort) = 0;
    virtual void stopPortMapping(int index) = 0;
    // 0 and the mode (0 direct, 1 relayed, 2 LAN), or the check's negative result and 255.
    virtual int sessionMode(int sessionId, uint8_t *mode) = 0;

    // The runtime's agent, one per process.
    static std::shared_ptr<TunnelAgent> runtimeAgent();
};
using TunnelAgentPtr = std::shared_ptr<TunnelAgent>;
