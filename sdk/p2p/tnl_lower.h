// What the tunnel needs of the session layer, as one interface: starting and stopping the session layer and
// the stream, connecting by UID, checking, reporting and closing sessions, and the device's registration and
// accepting. The process's own session layer is one implementation (tnl_RealLower); the tests pair two
// tunnel instances in one process over the stream's in-process fake.
#pragma once

#include <stdint.h>

#include "p2p/psl_session.h"

class TunnelLib;

class TunnelLower {
  public:
    virtual ~TunnelLower() = default;
    // Session layer with maxSessions records, then the stream: 0 or the first negative result (nothing left
    // started on failure).
    virtual int start(int maxSessions, bool privateServers) = 0;
    virtual void stop() = 0;
    virtual int connect(const char *uid) = 0;
    virtual int connectToSession(const char *uid, int sid) = 0;
    virtual int reserveSession() = 0;
    virtual int connectAbortAll() = 0;
    virtual int connectAbort(int sid) = 0;
    virtual int check(int sid, PSLSessionInfoShort *info) = 0;
    virtual int peerProtocol(int sid) = 0;
    // While on, a failure of the session reaches owner->statusForward(sid, status).
    virtual void watch(int sid, TunnelLib *owner, bool on) = 0;
    virtual void close(int sid) = 0;
    virtual int registerDevice(const char *uid) = 0;
    // 1 once the servers refused the registered UID.
    virtual int registrationRefused() = 0;
    // Waits for an incoming session until one comes or acceptCancel(): its id or a negative result.
    virtual int accept() = 0;
    virtual void acceptCancel() = 0;
};

// The session layer and stream of this process (one per process).
TunnelLower *tnl_RealLower(void);
