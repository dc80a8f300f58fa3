#include "handlers_push.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "handlers.h"
#include "wire.h"

namespace qvemu {

namespace {

constexpr int kSliceMs = 20;

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

std::string envelope(const Request &req, const std::string &data) {
    char head[160];
    std::snprintf(head, sizeof head,
                  "{\"header\":{\"cmd\":174,\"error\":0,\"token\":%" PRId64 ",\"seq\":%" PRId32 "},\"data\":",
                  req.token, req.seq);
    return std::string(head) + data + "}";
}

// Whether the client has left: the connection reads EOF or fails. A client never sends during a round, so
// readable bytes other than EOF are left for the next request.
bool client_left(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLERR | POLLNVAL)) return true;
    char c;
    const ssize_t r = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

enum class Wait { Elapsed, Left, Stopping };

// Sleeps `ms` in short slices, watching for the client leaving and the device stopping.
Wait silence(Device &dev, int fd, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (client_left(fd)) return Wait::Left;
        if (!dev.pause(kSliceMs)) return Wait::Stopping;
    }
    return Wait::Elapsed;
}

// One 174 exchange on `fd`: the header frame, then chunks as the script says. True when the connection
// stays open for the next request.
bool serve_round(Device &dev, PushModel &m, const Request &req, int fd) {
    const int64_t token = req.token;
    m.count(token, [](PushCounts &c) { ++c.exchanges; });
    if (!send_all(fd, frame("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"))) return false;
    auto since_chunk = std::chrono::steady_clock::now();
    for (;;) {
        if (client_left(fd)) {
            m.count(token, [](PushCounts &c) { ++c.client_left; });
            return false;
        }
        if (!dev.pause(0)) return false;
        std::optional<PushStep> step = m.take(token, kSliceMs);
        if (!step) {
            const int keepalive = m.keepalive_ms();
            if (keepalive > 0 &&
                std::chrono::steady_clock::now() - since_chunk >= std::chrono::milliseconds(keepalive)) {
                if (!send_all(fd, chunk(envelope(req, "{}")))) return false;
                m.count(token, [](PushCounts &c) { ++c.keepalives; });
                since_chunk = std::chrono::steady_clock::now();
            }
            continue;
        }
        switch (step->kind) {
            case PushStep::Kind::Data:
            case PushStep::Kind::Raw: {
                const std::string body =
                    step->kind == PushStep::Kind::Data ? envelope(req, step->text) : step->text;
                if (!send_all(fd, chunk(body))) return false;
                m.count(token, [](PushCounts &c) { ++c.chunks; });
                since_chunk = std::chrono::steady_clock::now();
                break;
            }
            case PushStep::Kind::EndRound:
                if (!send_all(fd, kLastChunk)) return false;
                m.count(token, [](PushCounts &c) { ++c.rounds_ended; });
                return true;
            case PushStep::Kind::Stall: {
                const Wait w = silence(dev, fd, step->ms);
                if (w == Wait::Left) m.count(token, [](PushCounts &c) { ++c.client_left; });
                if (w != Wait::Elapsed) return false;
                since_chunk = std::chrono::steady_clock::now();
                break;
            }
            case PushStep::Kind::Close:
                m.count(token, [](PushCounts &c) { ++c.closed; });
                return false;
        }
    }
}

}  // namespace

PushStep PushStep::chunk(int status, const std::optional<std::string> &usb_value,
                         const std::optional<std::string> &userdb_value,
                         const std::optional<std::string> &recentdb_value) {
    Json data(json_object_new_object());
    json_object_object_add(data.get(), "status", json_object_new_int(status));
    auto holder = [&](const char *outer, const char *inner, const std::optional<std::string> &v) {
        if (!v) return;
        json_object *o = json_object_new_object();
        json_object_object_add(o, inner, json_object_new_string_len(v->data(), static_cast<int>(v->size())));
        json_object_object_add(data.get(), outer, o);
    };
    holder("usbInfo", "usbValue", usb_value);
    holder("userdbInfo", "userdbValue", userdb_value);
    holder("recentdbInfo", "recentdbValue", recentdb_value);
    return {Kind::Data, json_text(data.get()), 0};
}

void PushModel::push(int64_t token, PushStep step) {
    {
        std::lock_guard lk(mu_);
        scripts_[token].push_back(std::move(step));
    }
    cv_.notify_all();
}

void PushModel::set_keepalive_ms(int ms) {
    std::lock_guard lk(mu_);
    keepalive_ms_ = ms;
}

int PushModel::keepalive_ms() const {
    std::lock_guard lk(mu_);
    return keepalive_ms_;
}

PushCounts PushModel::counts(int64_t token) const {
    std::lock_guard lk(mu_);
    auto it = counts_.find(token);
    return it != counts_.end() ? it->second : PushCounts{};
}

size_t PushModel::pending(int64_t token) const {
    std::lock_guard lk(mu_);
    auto it = scripts_.find(token);
    return it != scripts_.end() ? it->second.size() : 0;
}

int PushModel::open_rounds() const {
    std::lock_guard lk(mu_);
    return open_rounds_;
}

std::optional<PushStep> PushModel::take(int64_t token, int ms) {
    std::unique_lock lk(mu_);
    auto &q = scripts_[token];
    if (!cv_.wait_for(lk, std::chrono::milliseconds(ms), [&q] { return !q.empty(); })) return std::nullopt;
    PushStep s = std::move(q.front());
    q.pop_front();
    return s;
}

void PushModel::round_open(int delta) {
    std::lock_guard lk(mu_);
    open_rounds_ += delta;
}

std::shared_ptr<PushModel> install_push_handler(Device &device, std::shared_ptr<PushModel> model) {
    if (!model) model = std::make_shared<PushModel>();
    auto m = model;
    device.set_handler(174, [m](Device &dev, const Request &req) {
        Reply r;
        // The envelope is copied: the request lives only as long as the handler call.
        Request head;
        head.cmd = req.cmd;
        head.token = req.token;
        head.seq = req.seq;
        r.raw_writer = [m, &dev, head](int fd) {
            m->round_open(1);
            const bool keep = serve_round(dev, *m, head, fd);
            m->round_open(-1);
            return keep;
        };
        return r;
    });
    return model;
}

}  // namespace qvemu
