// The UDP relay of the test servers (S1 only): a client's relay request draws a MSG_SESSION_HELLO to the
// device (28 bytes {UID, randomID, mac}, repeated with each request until the device answers with 32), then
// the grant; a join draws MSG_RELAY_ATTACH (88 bytes, header tag R) to the device, repeated until its
// MSG_RELAY_ATTACH_R, then to the client. Relayed data, closes and keep-alives carrying tag R are forwarded
// with every other header field and the payload kept: client 0x05x4 to the device as 0x05x1, device 0x05x2
// to the client as 0x05x3. Counters per direction; the log gets the first packet of each direction and
// every 1,000th.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "psl_messages.h"

namespace qvbed::p2p {

struct RelayOptions {
    bool enabled = true;                  // --no-relay: S1 ignores relay requests too
    int32_t status = 0;                   // --relay-status N: S1 answers N instead of granting
    std::optional<int32_t> secondStatus;  // --second-relay-status N: S2 answers N (beside S1's grant)
};

struct RelayCounters {
    uint64_t toDevice = 0, toClient = 0;
    uint16_t tag = 0;
};

class UdpRelay {
  public:
    using SendFn = std::function<void(size_t ep, const psl::Addr &to, const char *msg, const char *form,
                                      const psl::Fields &f)>;
    using RawFn = std::function<void(size_t ep, const psl::Addr &to, const psl::Bytes &datagram)>;
    using LogFn = std::function<void(const std::string &body)>;
    // The device's login address and NAT type and the library version it reported, by UID.
    struct Device {
        psl::Addr observed;
        uint32_t natType = 0, version = 0;
    };
    using DeviceFn = std::function<std::optional<Device>(const std::string &uid)>;

    UdpRelay(RelayOptions o, SendFn send, RawFn raw, LogFn log, DeviceFn device)
        : opt_(o),
          send_(std::move(send)),
          raw_(std::move(raw)),
          log_(std::move(log)),
          device_(std::move(device)) {}

    // The relay's messages at server endpoint ep (1 = S1 relays, 2 = S2 may refuse): true when handled.
    bool on_message(size_t ep, const psl::Packet &p, const psl::Layout &l, const psl::Fields &f,
                    const psl::Addr &from);
    // Relayed traffic (before any decoding of its payload): true when it was relayed traffic at S1.
    bool forward(size_t ep, const psl::Packet &p, const psl::Addr &from);

    std::optional<RelayCounters> counters(uint16_t tag) const;

  private:
    struct Session {
        std::string uid;
        uint32_t randomID = 0, mac = 0;
        uint16_t tag = 0;
        psl::Addr client, device;
        uint32_t clientVersion = 0, clientNat = 0;
        uint8_t clientProtocol = 0;
        bool deviceHello = false, deviceAttached = false, joined = false, requestV2 = false;
        uint64_t toDevice = 0, toClient = 0;
    };
    using Key = std::tuple<std::string, uint32_t, uint32_t>;

    void grant(size_t ep, const Session &s);
    void attach(size_t ep, const Session &s, const psl::Addr &to);

    RelayOptions opt_;
    SendFn send_;
    RawFn raw_;
    LogFn log_;
    DeviceFn device_;
    mutable std::mutex mu_;
    std::map<Key, Session> sessions_;
    std::map<uint16_t, Key> byTag_;
    uint16_t nextTag_ = 0x5100;
};

}  // namespace qvbed::p2p
