// What the reliable stream needs of the session layer, as one interface: the session table lock, writing a
// packet on a session channel, the session's state and peer protocol, switching a channel on and off, and
// the two per-channel callback slots. The session layer installs its implementation; tests install a fake.
#pragma once

#include <stdint.h>

// Called for every packet of the channel with status = the session's state check (negative: the session
// ended; the call then carries no packet).
typedef void (*RscRecvFn)(int sid, uint8_t ch, const uint8_t *pkt, int len, int status);
// Called with the session table lock held once the session socket has been idle, for each channel whose
// receive callback got packets since the last call.
typedef void (*RscIdleFn)(int sid, uint8_t ch, int, int, int);

class RscSession {
  public:
    virtual ~RscSession() = default;
    virtual void lock() = 0;  // recursive
    virtual void unlock() = 0;
    // Writes one packet (at most 1,388 bytes); > 0 on success, negative on failure.
    virtual int write(int sid, const uint8_t *buf, int len, uint8_t ch) = 0;
    // 0 while connected; -22 closed by the peer, -23 timed out, -14 no such session, -12 not initialised.
    virtual int check(int sid) = 0;
    virtual int peerProtocol(int sid) = 0;
    virtual void channelOn(int sid, uint8_t ch) = 0;
    virtual void channelOff(int sid, uint8_t ch) = 0;
    // A null function clears the slot.
    virtual void setRecvCallback(int sid, uint8_t ch, RscRecvFn fn) = 0;
    virtual void setIdleCallback(int sid, uint8_t ch, RscIdleFn fn) = 0;
};

// Installs the session layer the stream works over (before RSC_Initialize; not owned). Null puts back the
// default, the library's own sessions.
void rsc_Session_Install(RscSession *s);
RscSession *rsc_Session_Default(void);
