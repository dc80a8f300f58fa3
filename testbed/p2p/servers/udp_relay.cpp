#include "udp_relay.h"

#include <string_view>

namespace qvbed::p2p {
namespace {

using psl::Addr;
using psl::Fields;

constexpr size_t kRelayEp = 1;   // S1
constexpr size_t kSecondEp = 2;  // S2

int64_t num(const Fields &f, std::string_view name) {
    const psl::Value *v = psl::find_field(f, name);
    const int64_t *n = v ? std::get_if<int64_t>(v) : nullptr;
    return n ? *n : 0;
}
std::string text(const Fields &f, std::string_view name) {
    const psl::Value *v = psl::find_field(f, name);
    const std::string *s = v ? std::get_if<std::string>(v) : nullptr;
    return s ? *s : std::string();
}

// Relayed types: what each side sends and what the other receives.
std::optional<uint16_t> client_to_device(uint16_t type) {
    switch (type) {
        case 0x0504:
            return 0x0501;
        case 0x0514:
            return 0x0511;
        case 0x0524:
            return 0x0521;
        default:
            return std::nullopt;
    }
}
std::optional<uint16_t> device_to_client(uint16_t type) {
    switch (type) {
        case 0x0502:
            return 0x0503;
        case 0x0512:
            return 0x0513;
        case 0x0522:
            return 0x0523;
        default:
            return std::nullopt;
    }
}

}  // namespace

void UdpRelay::grant(size_t ep, const Session &s) {
    send_(
        ep, s.client, s.requestV2 ? "MSG_RELAY_REQUEST2_R" : "MSG_RELAY_REQUEST_R", "long32",
        {{"UID", s.uid}, {"status", int64_t{0}}, {"randomID", int64_t{s.randomID}}, {"mac", int64_t{s.mac}}});
}

void UdpRelay::attach(size_t ep, const Session &s, const Addr &to) {
    std::optional<Device> d = device_(s.uid);
    send_(ep, to, "MSG_RELAY_ATTACH", "long88",
          {{"UID", s.uid},
           {"sessionTag", int64_t{s.tag}},
           {"relaySession", int64_t{s.tag}},
           {"deviceAddr", s.device},
           {"clientAddr", s.client},
           {"randomID", int64_t{s.randomID}},
           {"mac", int64_t{s.mac}},
           {"deviceVersion", int64_t{d ? d->version : 0}},
           {"clientVersion", int64_t{s.clientVersion}},
           {"deviceProtocol", int64_t{psl::kVersion}},
           {"clientProtocol", int64_t{s.clientProtocol}},
           {"deviceNatType", int64_t{d ? d->natType : 0}},
           {"clientNatType", int64_t{s.clientNat}}});
}

bool UdpRelay::on_message(size_t ep, const psl::Packet &p, const psl::Layout &l, const Fields &f,
                          const Addr &from) {
    const std::string_view msg = l.msg;
    const std::string uid = text(f, "UID");
    const Key key{uid, static_cast<uint32_t>(num(f, "randomID")), static_cast<uint32_t>(num(f, "mac"))};
    if (msg == "MSG_RELAY_REQUEST" || msg == "MSG_RELAY_REQUEST2") {
        const bool v2 = msg == "MSG_RELAY_REQUEST2";
        const char *answer = v2 ? "MSG_RELAY_REQUEST2_R" : "MSG_RELAY_REQUEST_R";
        auto refuse = [&](int32_t status) {
            send_(ep, from, answer, "long32",
                  {{"UID", uid},
                   {"status", int64_t{status}},
                   {"randomID", std::get<1>(key)},
                   {"mac", std::get<2>(key)}});
        };
        if (ep == kSecondEp && opt_.secondStatus) {
            refuse(*opt_.secondStatus);
            return true;
        }
        if (ep != kRelayEp || !opt_.enabled) return true;  // the others ignore relay requests
        if (opt_.status != 0) {
            refuse(opt_.status);
            return true;
        }
        std::optional<Device> d = device_(uid);
        if (!d) return true;  // unknown device: silence
        std::lock_guard lk(mu_);
        auto it = sessions_.find(key);
        if (it == sessions_.end()) {
            Session s;
            s.uid = uid;
            s.randomID = std::get<1>(key);
            s.mac = std::get<2>(key);
            if (++nextTag_ == 0) ++nextTag_;
            s.tag = nextTag_;
            it = sessions_.emplace(key, s).first;
            byTag_[s.tag] = key;
            log_("\"ep\":\"S1\",\"event\":\"relay-open\",\"tag\":" + std::to_string(s.tag));
        }
        Session &s = it->second;
        s.client = from;
        s.device = d->observed;
        s.requestV2 = v2;
        if (!s.deviceHello) {
            // The device is told first; the grant follows its answer.
            send_(ep, s.device, "MSG_SESSION_HELLO", "server28",
                  {{"UID", uid}, {"randomID", int64_t{s.randomID}}, {"mac", int64_t{s.mac}}});
        } else {
            grant(ep, s);
        }
        return true;
    }
    if (ep != kRelayEp || !opt_.enabled) return false;
    if (msg == "MSG_SESSION_HELLO" && l.length >= 24 && std::string_view(l.form) != "server28") {
        std::lock_guard lk(mu_);
        for (auto &[k, s] : sessions_) {
            if (s.uid != uid || !(from == s.device) || s.deviceHello) continue;
            if (std::string_view(l.form) == "answer32" &&
                (std::get<1>(k) != s.randomID || std::get<2>(k) != s.mac))
                continue;
            if (num(f, "result") != 0) continue;
            s.deviceHello = true;
            grant(ep, s);
        }
        return true;
    }
    if (msg == "MSG_RELAY_JOIN") {
        std::lock_guard lk(mu_);
        auto it = sessions_.find(key);
        if (it == sessions_.end() || !it->second.deviceHello) return true;
        // Beside S2's refusal the join is left unanswered, so that the refusal always meets a granted,
        // joining connect.
        if (opt_.secondStatus) return true;
        Session &s = it->second;
        s.client = from;
        s.joined = true;
        s.clientVersion = static_cast<uint32_t>(num(f, "libraryVersion"));
        s.clientNat = static_cast<uint32_t>(num(f, "natType"));
        s.clientProtocol = p.header.version;
        attach(ep, s, s.deviceAttached ? s.client : s.device);
        return true;
    }
    if (msg == "MSG_RELAY_ATTACH_R") {
        std::lock_guard lk(mu_);
        auto it = sessions_.find(key);
        if (it == sessions_.end() || !(from == it->second.device)) return true;
        Session &s = it->second;
        if (!s.deviceAttached) {
            s.deviceAttached = true;
            if (s.joined) attach(ep, s, s.client);
        }
        return true;
    }
    return false;
}

bool UdpRelay::forward(size_t ep, const psl::Packet &p, const Addr &from) {
    const std::optional<uint16_t> toDevice = client_to_device(p.header.type);
    const std::optional<uint16_t> toClient = device_to_client(p.header.type);
    if (!toDevice && !toClient) return false;
    if (ep != kRelayEp || !opt_.enabled) return true;
    Addr to;
    uint64_t count = 0;
    const char *dir = "";
    {
        std::lock_guard lk(mu_);
        auto t = byTag_.find(p.header.sessionTag);
        if (t == byTag_.end()) return false;  // not ours: the TCP relay's sessions carry tags too
        Session &s = sessions_[t->second];
        if (toDevice && from == s.client && s.deviceAttached) {
            to = s.device;
            count = ++s.toDevice;
            dir = "to-device";
        } else if (toClient && from == s.device && s.joined) {
            to = s.client;
            count = ++s.toClient;
            dir = "to-client";
        } else {
            return true;  // a stranger using the tag: dropped
        }
    }
    psl::Header h = p.header;
    h.type = toDevice ? *toDevice : *toClient;
    raw_(ep, to, psl::seal(psl::plain_packet(h, p.payload)));
    if (count == 1 || count % 1000 == 0)
        log_("\"ep\":\"S1\",\"event\":\"relay-forward\",\"dir\":\"" + std::string(dir) +
             "\",\"tag\":" + std::to_string(p.header.sessionTag) + ",\"count\":" + std::to_string(count));
    return true;
}

std::optional<RelayCounters> UdpRelay::counters(uint16_t tag) const {
    std::lock_guard lk(mu_);
    auto t = byTag_.find(tag);
    if (t == byTag_.end()) return std::nullopt;
    const Session &s = sessions_.at(t->second);
    return RelayCounters{s.toDevice, s.toClient, s.tag};
}

}  // namespace qvbed::p2p
