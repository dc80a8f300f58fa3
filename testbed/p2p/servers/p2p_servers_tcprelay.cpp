// The TCP relay on S1: a client that cannot use UDP asks for a relay on its TCP connection; S1 greets the
// device at its login address by UDP (MSG_SESSION_HELLO, 28 bytes {UID, randomID, mac}; the device answers
// with 32), grants the request, and on the join gives both sides the attach (88 bytes, header tag R: the
// device by UDP until it acknowledges, then the client on its stream). From then on client data, close and
// keep-alive (0x0504/0x0514/0x0524, tag R) go to the device as 0x0501/0x0511/0x0521 and the device's
// (0x0502/0x0512/0x0522) to the client as 0x0503/0x0513/0x0523, every other header field and the payload
// kept. Nothing is timed here: the client repeats its request and join every 2 s, and each repeat greets or
// attaches the device again while it has not answered.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "p2p_servers.h"

namespace qvbed::p2p {
namespace {

using psl::Addr;
using psl::Fields;
using psl::Value;

int64_t field_num(const Fields &f, std::string_view name) {
    const Value *v = psl::find_field(f, name);
    const int64_t *n = v ? std::get_if<int64_t>(v) : nullptr;
    return n ? *n : 0;
}
std::string field_text(const Fields &f, std::string_view name) {
    const Value *v = psl::find_field(f, name);
    const std::string *s = v ? std::get_if<std::string>(v) : nullptr;
    return s ? *s : std::string();
}

constexpr size_t kRelayEndpoint = 1;  // S1 (endpoint 0 is the master)

}  // namespace

void ServerSet::send_stream(size_t ep, const Addr &to, const char *msg, const char *form, const Fields &f) {
    const TcpConn *keep = replyTcp_;
    for (const TcpConn &c : tcpConns_)
        if (c.peer == to) replyTcp_ = &c;
    if (replyTcp_ && replyTcp_->peer == to) send(ep, to, msg, form, f);
    replyTcp_ = keep;
}

void ServerSet::tcp_relay_grant(TcpRelay &s) {
    send_stream(
        s.ep, s.client, s.v2 ? "MSG_RELAY_REQUEST2_R" : "MSG_RELAY_REQUEST_R", "long32",
        {{"UID", s.uid}, {"status", int64_t{0}}, {"randomID", int64_t{s.randomID}}, {"mac", int64_t{s.mac}}});
}

void ServerSet::tcp_relay_attach(TcpRelay &s, const DeviceRecord &d, bool toClient) {
    const Fields f{{"UID", s.uid},
                   {"relaySession", int64_t{s.tag}},
                   {"deviceAddr", d.observed},
                   {"clientAddr", s.client},
                   {"randomID", int64_t{s.randomID}},
                   {"mac", int64_t{s.mac}},
                   {"deviceVersion", int64_t{d.version}},
                   {"clientVersion", int64_t{0x03010523}},
                   {"deviceProtocol", int64_t{psl::kVersion}},
                   {"clientProtocol", int64_t{psl::kVersion}},
                   {"deviceNatType", int64_t{d.natType}},
                   {"clientNatType", int64_t{10}},
                   {"sessionTag", int64_t{s.tag}}};
    if (toClient)
        send_stream(s.ep, s.client, "MSG_RELAY_ATTACH", "long88", f);
    else
        send(s.ep, d.observed, "MSG_RELAY_ATTACH", "long88", f);
}

bool ServerSet::tcp_relay_client(size_t ep, const psl::Packet &p, const psl::Layout *l, const Fields *f,
                                 const Addr &from) {
    const uint16_t type = p.header.type;
    if (type == 0x0504 || type == 0x0514 || type == 0x0524) {
        for (TcpRelay &s : tcpRelays_) {
            if (s.tag == 0 || s.tag != p.header.sessionTag || !(s.client == from)) continue;
            std::optional<DeviceRecord> d = device(s.uid);
            if (!d) return true;
            psl::Header h = p.header;
            h.type = static_cast<uint16_t>(type - 3);  // 0x05x4 -> 0x05x1
            const psl::Bytes out = psl::seal(psl::plain_packet(h, p.payload));
            sockaddr_in sa{};
            psl::addr_to(d->observed, sa);
            if (sendto(eps_[s.ep].fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&sa),
                       sizeof sa) > 0)
                ++s.toDevice;
            return true;
        }
        return true;  // a tag nobody holds: dropped
    }
    if (!l || !f) return false;
    const std::string_view msg = l->msg;
    const bool request = msg == "MSG_RELAY_REQUEST" || msg == "MSG_RELAY_REQUEST2";
    if (!request && msg != "MSG_RELAY_JOIN") return false;
    if (ep != kRelayEndpoint || !opt_.tcpRelay) return true;  // the other servers ignore relay requests
    const std::string uid = field_text(*f, "UID");
    const uint32_t rid = static_cast<uint32_t>(field_num(*f, "randomID"));
    const uint32_t mac = static_cast<uint32_t>(field_num(*f, "mac"));
    std::optional<DeviceRecord> d = device(uid);
    if (!d) return true;  // an unknown device: no answer
    TcpRelay *s = nullptr;
    for (TcpRelay &r : tcpRelays_)
        if (r.uid == uid && r.randomID == rid && r.mac == mac && r.client == from) s = &r;
    if (request) {
        if (!s) {
            tcpRelays_.push_back({uid, rid, mac, from, ep});
            s = &tcpRelays_.back();
        }
        s->v2 = msg == "MSG_RELAY_REQUEST2";
        if (s->deviceAnswered)
            tcp_relay_grant(*s);
        else
            send(ep, d->observed, "MSG_SESSION_HELLO", "server28",
                 {{"UID", uid}, {"randomID", int64_t{rid}}, {"mac", int64_t{mac}}});
        return true;
    }
    if (!s || !s->deviceAnswered) return true;  // a join before the grant
    if (s->tag == 0) {
        s->tag = nextTag_++;
        if (nextTag_ == 0) nextTag_ = 1;
    }
    if (s->deviceAttached) {
        tcp_relay_attach(*s, *d, true);
        s->clientAttached = true;
    } else {
        tcp_relay_attach(*s, *d, false);
    }
    return true;
}

bool ServerSet::tcp_relay_device(size_t ep, const psl::Packet &p, const psl::Layout *l, const Fields *f,
                                 const Addr &from) {
    if (ep != kRelayEndpoint || tcpRelays_.empty()) return false;
    const uint16_t type = p.header.type;
    if (type == 0x0502 || type == 0x0512 || type == 0x0522) {
        for (TcpRelay &s : tcpRelays_) {
            if (s.tag == 0 || s.tag != p.header.sessionTag) continue;
            std::optional<DeviceRecord> d = device(s.uid);
            if (!d || !(d->observed == from)) continue;
            psl::Header h = p.header;
            h.type = static_cast<uint16_t>(type + 1);  // 0x05x2 -> 0x05x3
            if (tcp_send(s.client, psl::seal(psl::plain_packet(h, p.payload)))) ++s.toClient;
            log_line("\"ep\":\"" + eps_[ep].name + "\",\"dir\":\"relay\",\"tcp\":true,\"tag\":" +
                     std::to_string(s.tag) + ",\"toDevice\":" + std::to_string(s.toDevice) +
                     ",\"toClient\":" + std::to_string(s.toClient));
            return true;
        }
        return false;
    }
    if (!l || !f) return false;
    const std::string_view msg = l->msg;
    const std::string uid = field_text(*f, "UID");
    std::optional<DeviceRecord> d = device(uid);
    if (!d || !(d->observed == from)) return false;  // only the device at its login address counts
    if (msg == "MSG_SESSION_HELLO") {
        for (TcpRelay &s : tcpRelays_)
            if (s.uid == uid && !s.deviceAnswered) {
                s.deviceAnswered = true;
                tcp_relay_grant(s);
            }
    } else if (msg == "MSG_RELAY_ATTACH_R") {
        for (TcpRelay &s : tcpRelays_)
            if (s.uid == uid && s.tag != 0 && s.tag == p.header.sessionTag && !s.deviceAttached) {
                s.deviceAttached = true;
                tcp_relay_attach(s, *d, true);
                s.clientAttached = true;
            }
    }
    return false;  // greetings and acknowledgements are others' business too
}

}  // namespace qvbed::p2p
