#include "p2p_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

namespace qvbed::p2p {
namespace {

using psl::Addr;
using psl::Fields;
using psl::Value;

uint64_t now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int64_t num(const Fields &f, std::string_view name) {
    const Value *v = psl::find_field(f, name);
    const int64_t *n = v ? std::get_if<int64_t>(v) : nullptr;
    return n ? *n : 0;
}
std::string text(const Fields &f, std::string_view name) {
    const Value *v = psl::find_field(f, name);
    const std::string *s = v ? std::get_if<std::string>(v) : nullptr;
    return s ? *s : std::string();
}
Addr addr(const Fields &f, std::string_view name) {
    const Value *v = psl::find_field(f, name);
    const Addr *a = v ? std::get_if<Addr>(v) : nullptr;
    return a ? *a : Addr{};
}
std::vector<Addr> addrs(const Fields &f, std::string_view name, size_t n) {
    const Value *v = psl::find_field(f, name);
    const std::vector<Addr> *a = v ? std::get_if<std::vector<Addr>>(v) : nullptr;
    std::vector<Addr> out = a ? *a : std::vector<Addr>{};
    out.resize(n);
    return out;
}
std::vector<int64_t> words(const Fields &f, std::string_view name, size_t n) {
    const Value *v = psl::find_field(f, name);
    const std::vector<int64_t> *a = v ? std::get_if<std::vector<int64_t>>(v) : nullptr;
    std::vector<int64_t> out = a ? *a : std::vector<int64_t>{};
    out.resize(n);
    return out;
}

// JSON string contents: what arrives from the wire may hold any byte.
std::string esc(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int bind_udp(const Addr &a, std::string *error) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    psl::addr_to(a, sa);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        *error = "bind UDP " + psl::addr_text(a) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int listen_tcp(const Addr &a, std::string *error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    psl::addr_to(a, sa);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
        *error = "listen TCP " + psl::addr_text(a) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

ServerSet::ServerSet(Options o) : opt_(std::move(o)) {}

ServerSet::~ServerSet() {
    stop();
}

bool ServerSet::start(std::string *error) {
    std::string err;
    auto fail = [&](const std::string &why) {
        if (error) *error = why;
        stop();
        return false;
    };
    t0_ = now_ms();
    if (!opt_.logPath.empty()) {
        log_ = std::fopen(opt_.logPath.c_str(), "a");
        if (!log_) return fail("open log " + opt_.logPath + ": " + std::strerror(errno));
    }
    eps_.push_back({"M", true, bind_udp(opt_.master, &err), opt_.master});
    if (eps_.back().fd < 0) return fail(err);
    for (size_t i = 0; i < opt_.servers.size(); ++i) {
        eps_.push_back(
            {"S" + std::to_string(i + 1), false, bind_udp(opt_.servers[i], &err), opt_.servers[i]});
        if (eps_.back().fd < 0) return fail(err);
    }
    if (opt_.fixed) {
        fixedFd_ = listen_tcp(*opt_.fixed, &err);
        if (fixedFd_ < 0) return fail(err);
    }
    relay_ = std::make_unique<UdpRelay>(
        opt_.relay,
        [this](size_t ep, const Addr &to, const char *msg, const char *form, const Fields &f) {
            send(ep, to, msg, form, f);
        },
        [this](size_t ep, const Addr &to, const psl::Bytes &d) { send_raw(ep, to, d); },
        [this](const std::string &body) { log_line(body); },
        [this](const std::string &uid) -> std::optional<UdpRelay::Device> {
            std::optional<DeviceRecord> d = device(uid);
            if (!d) return std::nullopt;
            return UdpRelay::Device{d->observed, d->natType, d->version};
        });
    if (!tcp_start(&err)) return fail(err);
    if (pipe2(wakeFd_, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno));
    thread_ = std::thread([this] { loop(); });
    return true;
}

void ServerSet::stop() {
    if (thread_.joinable()) {
        const char c = 'q';
        (void)!write(wakeFd_[1], &c, 1);
        thread_.join();
    }
    tcp_stop();
    for (Endpoint &e : eps_)
        if (e.fd >= 0) close(e.fd);
    eps_.clear();
    for (int &fd : {std::ref(fixedFd_), std::ref(wakeFd_[0]), std::ref(wakeFd_[1])})
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    if (log_) {
        std::fclose(log_);
        log_ = nullptr;
    }
}

std::optional<DeviceRecord> ServerSet::device(const std::string &uid) const {
    std::lock_guard lk(mu_);
    auto it = devices_.find(uid);
    if (it == devices_.end()) return std::nullopt;
    return it->second;
}

void ServerSet::loop() {
    uint8_t buf[65536];
    for (;;) {
        std::vector<pollfd> pfds;
        for (const Endpoint &e : eps_) pfds.push_back({e.fd, POLLIN, 0});
        const size_t fixedAt = pfds.size();
        if (fixedFd_ >= 0) pfds.push_back({fixedFd_, POLLIN, 0});
        const size_t wakeAt = pfds.size();
        pfds.push_back({wakeFd_[0], POLLIN, 0});
        const size_t tcpAt = pfds.size();
        tcp_poll_add(&pfds);
        if (poll(pfds.data(), pfds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (pfds[wakeAt].revents) return;
        if (fixedFd_ >= 0 && pfds[fixedAt].revents) {
            sockaddr_in sa{};
            socklen_t sl = sizeof sa;
            int c = accept4(fixedFd_, reinterpret_cast<sockaddr *>(&sa), &sl, SOCK_CLOEXEC);
            if (c >= 0) {
                log_line("\"ep\":\"F\",\"dir\":\"in\",\"event\":\"accept\",\"peer\":\"" +
                         psl::addr_text(psl::addr_from(sa)) + "\"");
                close(c);
            }
        }
        for (size_t i = 0; i < eps_.size(); ++i) {
            if (!pfds[i].revents) continue;
            for (;;) {
                sockaddr_in sa{};
                socklen_t sl = sizeof sa;
                ssize_t n = recvfrom(eps_[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&sa), &sl);
                if (n < 0) break;
                ++packetsIn_;
                on_datagram(i, buf, static_cast<size_t>(n), psl::addr_from(sa));
            }
        }
        tcp_poll_handle(pfds, tcpAt);
    }
}

void ServerSet::log_line(const std::string &body) {
    if (!log_) return;
    std::fprintf(log_, "{\"t_ms\":%llu,%s}\n", static_cast<unsigned long long>(now_ms() - t0_), body.c_str());
    std::fflush(log_);
}

void ServerSet::on_datagram(size_t ep, const uint8_t *data, size_t size, const Addr &from) {
    psl::Drop why = psl::Drop::kNone;
    auto p = psl::open_datagram({data, size}, &why);
    if (!p) {
        log_line("\"ep\":\"" + eps_[ep].name + "\",\"dir\":\"in\",\"peer\":\"" + psl::addr_text(from) +
                 "\",\"bytes\":" + std::to_string(size) +
                 (why == psl::Drop::kPing ? std::string(",\"msg\":\"ping\"")
                                          : std::string(",\"drop\":\"") + psl::drop_name(why) + "\""));
        return;
    }
    if (relay_ && relay_->forward(ep, *p, from)) return;  // relayed traffic: counted, not logged one by one
    on_packet(ep, *p, size, from, false);
}

void ServerSet::on_packet(size_t ep, const psl::Packet &p, size_t size, const Addr &from, bool tcp) {
    const Endpoint &e = eps_[ep];
    const std::string head = "\"ep\":\"" + e.name + "\",\"dir\":\"in\"" + (tcp ? ",\"tcp\":true" : "") +
                             ",\"peer\":\"" + psl::addr_text(from) + "\",\"bytes\":" + std::to_string(size);
    char type[8];
    std::snprintf(type, sizeof type, "0x%04x", p.header.type);
    const psl::Layout *l = psl::classify(p);
    std::optional<Fields> f = l ? psl::read(*l, p) : std::nullopt;
    std::string line = head + ",\"type\":\"" + type + "\",\"payload\":" + std::to_string(p.payload.size());
    if (l) line += std::string(",\"msg\":\"") + l->msg + "\",\"form\":\"" + l->form + "\"";
    if (f && psl::find_field(*f, "UID")) line += ",\"uid\":\"" + esc(text(*f, "UID")) + "\"";
    // What a client reports of its connects, for tests to check the outcome and route it gave.
    if (f && l && std::string_view(l->msg) == "MSG_SESSION_REPORT")
        line += ",\"value\":" + std::to_string(static_cast<int32_t>(num(*f, "value"))) +
                ",\"routeByte\":" + std::to_string(num(*f, "routeByte")) + ",\"peerAddr\":\"" +
                psl::addr_text(addr(*f, "peerAddr")) + "\"";
    // An application's error report: its code and text (the data only by length).
    if (f && l && std::string_view(l->msg) == "MSG_SESSION_REPORT2") {
        const Value *d = psl::find_field(*f, "data");
        const psl::Bytes *db = d ? std::get_if<psl::Bytes>(d) : nullptr;
        line += ",\"result\":" + std::to_string(static_cast<int32_t>(num(*f, "result"))) + ",\"text\":\"" +
                esc(text(*f, "text")) + "\",\"dataBytes\":" + std::to_string(db ? db->size() : 0);
    }
    log_line(line);
    if (opt_.silent) return;
    if (!e.master && (tcp ? tcp_relay_client(ep, p, l, f ? &*f : nullptr, from)
                          : tcp_relay_device(ep, p, l, f ? &*f : nullptr, from)))
        return;
    if (!l || !f) return;
    if (e.master)
        on_master(ep, p, l, *f, from);
    else
        on_server(ep, p, l, *f, from);
}

void ServerSet::send(size_t ep, const Addr &to, const char *msg, const char *form, const Fields &f) {
    const psl::Layout *l = psl::find_layout(msg, form);
    std::string err;
    std::optional<psl::Bytes> d = l ? psl::build(*l, f, &err) : std::nullopt;
    if (!d) {
        log_line("\"ep\":\"" + eps_[ep].name + "\",\"dir\":\"out\",\"error\":\"" + esc(msg) + " " + esc(err) +
                 "\"");
        return;
    }
    // A reply to a packet that came over a stream goes back on that stream; anything else is a datagram.
    const bool tcp = replyTcp_ && replyTcp_->peer == to;
    ssize_t n = 0;
    if (tcp) {
        n = tcp_send(to, *d) ? static_cast<ssize_t>(d->size()) : -1;
    } else {
        sockaddr_in sa{};
        psl::addr_to(to, sa);
        n = sendto(eps_[ep].fd, d->data(), d->size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    std::string line = "\"ep\":\"" + eps_[ep].name + "\",\"dir\":\"out\"" + (tcp ? ",\"tcp\":true" : "") +
                       ",\"peer\":\"" + psl::addr_text(to) + "\",\"bytes\":" + std::to_string(d->size()) +
                       ",\"msg\":\"" + msg + "\",\"form\":\"" + form + "\"";
    if (n < 0) line += ",\"error\":\"" + esc(std::strerror(errno)) + "\"";
    log_line(line);
}

void ServerSet::send_raw(size_t ep, const Addr &to, const psl::Bytes &d) {
    sockaddr_in sa{};
    psl::addr_to(to, sa);
    (void)!sendto(eps_[ep].fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
}

void ServerSet::on_master(size_t ep, const psl::Packet &, const psl::Layout *l, const Fields &f,
                          const Addr &from) {
    if (std::string_view(l->msg) != "MSG_QUERY_GROUP") return;  // nothing else is ever answered
    const std::string uid = text(f, "UID");
    if (opt_.refuseUids.count(uid)) {
        send(ep, from, "MSG_UID_REFUSED", "std", {{"UID", uid}});
        return;
    }
    std::vector<int64_t> ids(std::begin(opt_.groupIds), std::end(opt_.groupIds));
    send(ep, from, "MSG_QUERY_GROUP_R", "records",
         {{"UID", uid},
          {"addr", from},
          {"recordCount", int64_t{2}},
          {"groupIds", ids},
          {"servers", opt_.servers}});
}

void ServerSet::on_server(size_t ep, const psl::Packet &p, const psl::Layout *l, const Fields &f,
                          const Addr &from) {
    if (relay_ && relay_->on_message(ep, p, *l, f, from)) return;
    const std::string_view msg = l->msg;
    const std::string uid = text(f, "UID");
    if (msg == "MSG_PROBE" || msg == "MSG_PROBE_EX") {
        send(ep, from, msg == "MSG_PROBE" ? "MSG_PROBE_R" : "MSG_PROBE_EX_R", "std", {{"addr", from}});
    } else if (msg == "MSG_LOGIN") {
        {
            std::lock_guard lk(mu_);
            DeviceRecord &d = devices_[uid];
            d.observed = from;
            d.endpoint = ep;
            d.local = addr(f, "localAddr");
            d.natType = static_cast<uint32_t>(num(f, "natType"));
            d.version = static_cast<uint32_t>(num(f, "libraryVersion"));
            ++d.logins;
        }
        // A checking login asks for the answer with the redirect bit; without the switch it is a login.
        const bool check = p.payload.size() >= 272 && (p.payload[204] & 1);
        if (check && opt_.answerChecks)
            send(ep, from, "MSG_LOGIN_R", "long272",
                 {{"UID", uid}, {"addr", from}, {"redirect", int64_t{1}}, {"stop", int64_t{0}}});
        else
            send(ep, from, "MSG_LOGIN_R", "short36", {{"UID", uid}, {"addr", from}});
    } else if (msg == "MSG_QUERY_DEVICE" || msg == "MSG_QUERY_DEVICE2") {
        if (opt_.asleep) {
            send(ep, from, "MSG_DEVICE_ASLEEP", "std", {{"UID", uid}});
            return;
        }
        std::optional<DeviceRecord> d = device(uid);
        if (!d) return;  // unknown: no answer
        send(ep, from, msg == "MSG_QUERY_DEVICE" ? "MSG_QUERY_DEVICE_R" : "MSG_QUERY_DEVICE2_R", "std",
             {{"UID", uid},
              {"wakeSeconds", int64_t{0}},
              {"natType", int64_t{d->natType}},
              {"libraryVersion", int64_t{opt_.deviceVersion.value_or(d->version)}}});
    } else if (msg == "MSG_PUNCH") {
        if (opt_.punchAnswer) on_punch(ep, f, from);
    }
    (void)p;  // session info and reports are logged only
}

// A punch from a peer draws the device's data back to it and the peer's data to the device, sent from this
// socket to the device's login address. A punch from the device's own login address is answered with the
// last client's data.
void ServerSet::on_punch(size_t ep, const Fields &f, const Addr &from) {
    const std::string uid = text(f, "UID");
    std::optional<DeviceRecord> d = device(uid);
    if (!d) return;
    auto peer_fields = [&](const Addr &primary, const std::vector<Addr> &locals, int64_t rid, int64_t mac,
                           int64_t nat, const std::vector<Addr> &observed,
                           const std::vector<int64_t> &flags) {
        Fields out{{"UID", uid}, {"addr", primary}};
        if (opt_.peerForm >= 116) {
            out.emplace_back("localAddrs", locals);
            out.emplace_back("randomID", rid);
            out.emplace_back("mac", mac);
            out.emplace_back("natType", nat);
        }
        if (opt_.peerForm >= 292) {
            out.emplace_back("observed", observed);
            out.emplace_back("observedFlags", flags);
        }
        return out;
    };
    const char *form = opt_.peerForm >= 292 ? "server292" : opt_.peerForm >= 116 ? "server116" : "server36";
    const std::vector<Addr> none(8);
    const std::vector<int64_t> noFlags(8);
    ClientPunch c;
    if (from == d->observed) {
        std::lock_guard lk(mu_);
        auto it = clients_.find(uid);
        if (it == clients_.end()) return;
        c = it->second;
    } else {
        c = {from, f};
        std::lock_guard lk(mu_);
        clients_[uid] = c;
    }
    const int64_t rid = num(c.fields, "randomID"), mac = num(c.fields, "mac");
    const std::vector<Addr> devLocals{d->local, {}, {}, {}};
    send(ep, c.observed, "MSG_PEER_ADDRESS", form,
         peer_fields(d->observed, devLocals, rid, mac, d->natType, none, noFlags));
    send(ep, d->observed, "MSG_PEER_ADDRESS", form,
         peer_fields(c.observed, addrs(c.fields, "localAddrs", 4), rid, mac, num(c.fields, "natType"),
                     addrs(c.fields, "observed", 8), words(c.fields, "observedFlags", 8)));
}

bool parse_args(int argc, char **argv, Options *o, std::string *error) {
    auto need = [&](int &i) -> const char * {
        if (i + 1 >= argc) {
            *error = std::string(argv[i]) + " needs a value";
            return nullptr;
        }
        return argv[++i];
    };
    auto parse_num = [&](const char *s, long long lo, long long hi, long long *out) {
        char *end = nullptr;
        errno = 0;
        long long v = std::strtoll(s, &end, 0);
        if (errno || end == s || *end || v < lo || v > hi) {
            *error = std::string("bad number: ") + s;
            return false;
        }
        *out = v;
        return true;
    };
    bool serversGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const char *v = nullptr;
        long long n = 0;
        if (a == "--silent") {
            o->silent = true;
        } else if (a == "--asleep") {
            o->asleep = true;
        } else if (a == "--answer-checks") {
            o->answerChecks = true;
        } else if (a == "--no-punch-answer") {
            o->punchAnswer = false;
        } else if (a == "--no-relay") {
            o->relay.enabled = false;
        } else if (a == "--relay-status" || a == "--second-relay-status") {
            if (!(v = need(i)) || !parse_num(v, -100, 100, &n)) return false;
            if (a == "--relay-status")
                o->relay.status = static_cast<int32_t>(n);
            else
                o->relay.secondStatus = static_cast<int32_t>(n);
        } else if (a == "--no-fixed") {
            o->fixed.reset();
        } else if (a == "--tcp-off") {
            o->tcp = false;
        } else if (a == "--refuse-uid" || a == "--device-version" || a == "--peer-form" || a == "--log" ||
                   a == "--master" || a == "--server" || a == "--fixed") {
            if (!(v = need(i))) return false;
            if (a == "--refuse-uid") {
                o->refuseUids.insert(v);
            } else if (a == "--device-version") {
                if (!parse_num(v, 0, 0xFFFFFFFFLL, &n)) return false;
                o->deviceVersion = static_cast<uint32_t>(n);
            } else if (a == "--peer-form") {
                if (!parse_num(v, 36, 292, &n) || (n != 36 && n != 116 && n != 292)) {
                    *error = "--peer-form takes 36, 116 or 292";
                    return false;
                }
                o->peerForm = static_cast<int>(n);
            } else if (a == "--log") {
                o->logPath = v;
            } else {
                std::optional<Addr> ad = psl::parse_addr(v);
                if (!ad) {
                    *error = std::string("bad address (a.b.c.d:port): ") + v;
                    return false;
                }
                if (a == "--master") {
                    o->master = *ad;
                } else if (a == "--fixed") {
                    o->fixed = *ad;
                } else {
                    if (!serversGiven) o->servers.clear();
                    serversGiven = true;
                    o->servers.push_back(*ad);
                }
            }
        } else {
            *error = "unknown flag: " + std::string(a);
            return false;
        }
    }
    return true;
}

}  // namespace qvbed::p2p
