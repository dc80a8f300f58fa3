#include "discovery.h"

#include <arpa/inet.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace emu {
namespace {

constexpr uint16_t kDevicePort = 27212;
constexpr uint16_t kClientPort = 27213;

int bind_udp(const std::string &ip, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The command of a framed request; 0 when it is not one.
int request_cmd(const char *buf, ssize_t n) {
    uint32_t len = 0;
    if (n < 4) return 0;
    std::memcpy(&len, buf, 4);
    if (len != static_cast<uint32_t>(n - 4)) return 0;
    json_tokener *tok = json_tokener_new();
    json_object *o = json_tokener_parse_ex(tok, buf + 4, static_cast<int>(len));
    json_tokener_free(tok);
    json_object *h = nullptr, *c = nullptr;
    int cmd = 0;
    if (o != nullptr && json_object_object_get_ex(o, "header", &h) &&
        json_object_object_get_ex(h, "cmd", &c)) {
        cmd = json_object_get_int(c);
    }
    json_object_put(o);
    return cmd;
}

}  // namespace

DiscoveryLan::~DiscoveryLan() {
    stop();
}

size_t DiscoveryLan::add(const DiscoveryDevice &d) {
    auto dev = std::make_unique<Dev>();
    dev->cfg = d;
    devs_.push_back(std::move(dev));
    return devs_.size() - 1;
}

bool DiscoveryLan::start() {
    responder_ = bind_udp(gateway_, kDevicePort);
    if (responder_ < 0) return false;
    for (auto &d : devs_) {
        d->fd = bind_udp(d->cfg.ip, kDevicePort);
        if (d->fd < 0) return false;
    }
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void DiscoveryLan::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto &d : devs_) {
        if (d->fd >= 0) ::close(d->fd);
        d->fd = -1;
    }
    if (responder_ >= 0) ::close(responder_);
    responder_ = -1;
}

void DiscoveryLan::set_silent(size_t index, bool silent) {
    devs_.at(index)->silent = silent;
}

int DiscoveryLan::received(int cmd) const {
    switch (cmd) {
        case 1024:
            return count_search_;
        case 1025:
            return count_detail_;
        case 1027:
            return count_beat_;
        default:
            return 0;
    }
}

std::string DiscoveryLan::frame(const std::string &payload) {
    uint32_t len = static_cast<uint32_t>(payload.size());
    std::string out(reinterpret_cast<const char *>(&len), 4);
    return out + payload;
}

bool DiscoveryLan::send_raw(const std::string &from_ip, const std::string &to_ip,
                            const std::string &payload) {
    int fd = bind_udp(from_ip, 0);
    if (fd < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kClientPort);
    inet_pton(AF_INET, to_ip.c_str(), &to.sin_addr);
    std::string f = frame(payload);
    bool ok = ::sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
              static_cast<ssize_t>(f.size());
    ::close(fd);
    return ok;
}

void DiscoveryLan::answer(Dev &d, int cmd, uint32_t to_addr) {
    const DiscoveryDevice &c = d.cfg;
    if (d.silent || (cmd == 1024 && !c.answer_search) || (cmd == 1025 && !c.answer_detail) ||
        (cmd == 1027 && !c.answer_beat)) {
        return;
    }
    json_object *root = json_object_new_object();
    json_object *h = json_object_new_object();
    json_object_object_add(h, "cmd", json_object_new_int(cmd));
    json_object_object_add(h, "seq", json_object_new_int(0));
    if (cmd == 1024) {
        json_object_object_add(h, "session", json_object_new_string("emu-session"));
    } else if (cmd == 1025) {
        json_object *e = json_object_new_object();
        json_object_object_add(e, "device_name", json_object_new_string(c.name.c_str()));
        json_object_object_add(e, "mac", json_object_new_string(c.mac.c_str()));
        json_object_object_add(e, "device_id", json_object_new_string(c.device_id.c_str()));
        json_object_object_add(e, "p2p_uuid", json_object_new_string(c.p2p_uuid.c_str()));
        json_object_object_add(e, "port", json_object_new_int(c.port));
        json_object_object_add(e, "suppServ", json_object_new_int(c.supp_serv));
        json_object_object_add(e, "miscellaneous", json_object_new_string(c.misc.c_str()));
        json_object_object_add(e, "type", json_object_new_int(c.type));
        json_object *arr = json_object_new_array();
        json_object_array_add(arr, e);
        json_object_object_add(root, "data", arr);
    } else {
        json_object_object_add(h, "error", json_object_new_int(0));
    }
    json_object_object_add(root, "header", h);
    std::string f = frame(json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN));
    json_object_put(root);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kClientPort);
    to.sin_addr.s_addr = to_addr;
    if (::sendto(d.fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) > 0)
        ++count_answers_;
}

void DiscoveryLan::run() {
    std::vector<pollfd> fds;
    fds.push_back({responder_, POLLIN, 0});
    for (auto &d : devs_) fds.push_back({d->fd, POLLIN, 0});
    char buf[8192 + 4];
    while (!stop_) {
        for (auto &p : fds) p.revents = 0;
        if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t n = ::recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
            int cmd = request_cmd(buf, n);
            if (i == 0) {
                if (cmd != 1024) continue;
                ++count_search_;
                for (auto &d : devs_) answer(*d, 1024, from.sin_addr.s_addr);
                continue;
            }
            Dev &d = *devs_[i - 1];
            if (cmd == 1025) ++count_detail_;
            if (cmd == 1027) ++count_beat_;
            if (cmd == 1024 || cmd == 1025 || cmd == 1027) answer(d, cmd, from.sin_addr.s_addr);
        }
    }
}

}  // namespace emu
