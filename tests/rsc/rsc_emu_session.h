// The stream's session layer for tests: the link emulator's in-process session pair behind the stream's
// RscSession interface.
#pragma once

#include "p2p/rsc_session.h"
#include "session_pair.h"

class EmuRscSession : public RscSession {
  public:
    explicit EmuRscSession(linkemu::SessionPair &p) : p_(p) {}
    void lock() override { p_.lock(); }
    void unlock() override { p_.unlock(); }
    int write(int sid, const uint8_t *buf, int len, uint8_t ch) override {
        return p_.write(sid, buf, len, ch);
    }
    int check(int sid) override { return p_.check(sid); }
    int peerProtocol(int sid) override { return p_.peerProtocol(sid); }
    void channelOn(int sid, uint8_t ch) override { p_.channelOn(sid, ch); }
    void channelOff(int sid, uint8_t ch) override { p_.channelOff(sid, ch); }
    void setRecvCallback(int sid, uint8_t ch, RscRecvFn fn) override { p_.setRecvCallback(sid, ch, fn); }
    void setIdleCallback(int sid, uint8_t ch, RscIdleFn fn) override { p_.setIdleCallback(sid, ch, fn); }

  private:
    linkemu::SessionPair &p_;
};
