#include "device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>

#include "strict.h"

namespace qvemu {

namespace {
struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// Parses the envelope text and pulls out cmd, token, seq and "data". False when it is not a JSON object.
bool read_envelope(Request &req, JsonPtr &holder) {
    json_tokener_error err = json_tokener_success;
    holder.reset(json_tokener_parse_verbose(req.text.c_str(), &err));
    req.envelope = holder.get();
    if (!req.envelope || !json_object_is_type(req.envelope, json_type_object)) return false;
    json_object *header = nullptr, *v = nullptr;
    if (json_object_object_get_ex(req.envelope, "header", &header)) {
        if (json_object_object_get_ex(header, "cmd", &v)) req.cmd = json_object_get_int(v);
        if (json_object_object_get_ex(header, "token", &v)) req.token = json_object_get_int64(v);
        if (json_object_object_get_ex(header, "seq", &v)) req.seq = json_object_get_int(v);
    }
    if (json_object_object_get_ex(req.envelope, "data", &v)) req.data = v;
    return true;
}

// A plain decimal Content-Length; false for anything else.
bool parse_length(const std::string &s, uint64_t &out) {
    if (s.empty() || s.size() > 18) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    out = v;
    return true;
}

// Request bodies above this are refused (the connection is closed) rather than buffered. File data of an
// upload (a request with "Location") may be larger: a fresh upload sends the whole file as one range.
constexpr uint64_t kBodyLimit = 256ull << 20;
constexpr uint64_t kUploadBodyLimit = 4ull << 30;

std::string request_log(const Request &req, const std::string &block) {
    std::string s = block;
    s += req.text;
    return s;
}
}  // namespace

Device::Device(std::string root, std::string address, uint16_t port)
    : root_(std::move(root)), address_(std::move(address)), port_(port), key_(build_cipher_key()) {
    users_ = {{"admin", 1, false}};
    install_default_handlers(*this);
}

Device::~Device() {
    stop();
}

std::string Device::last_error() const {
    std::lock_guard lk(mu_);
    return last_error_;
}

bool Device::start() {
    if (started_) return true;
    auto fail = [this](const char *what) {
        std::lock_guard lk(mu_);
        last_error_ = std::string(what) + ": " + std::strerror(errno);
        if (listen_fd_ >= 0) ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    };
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_);
    if (inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1) {
        errno = EINVAL;
        return fail("bad address");
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return fail("socket");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return fail("bind");
    if (::listen(listen_fd_, 64) != 0) return fail("listen");
    socklen_t len = sizeof sa;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return fail("getsockname");
    port_ = ntohs(sa.sin_port);
    if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) return fail("pipe");
    stopping_ = false;
    started_ = true;
    acceptor_ = std::thread(&Device::accept_loop, this);
    return true;
}

void Device::stop() {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard lk(mu_);
        stopping_ = true;
        stop_cv_.notify_all();
    }
    char x = 1;
    while (::write(wake_pipe_[1], &x, 1) < 0 && errno == EINTR) {
    }
    acceptor_.join();
    {
        std::lock_guard lk(conns_mu_);
        for (auto &c : conns_)
            if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);
    }
    reap(true);
    ::close(listen_fd_);
    ::close(wake_pipe_[0]);
    ::close(wake_pipe_[1]);
    listen_fd_ = wake_pipe_[0] = wake_pipe_[1] = -1;
}

void Device::reap(bool all) {
    std::list<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard lk(conns_mu_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (all || (*it)->done) {
                ended.push_back(std::move(*it));
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto &c : ended)
        if (c->thread.joinable()) c->thread.join();
}

void Device::accept_loop() {
    while (!stopping_) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        if (p[0].revents & POLLIN) {
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                // Separate writes stay separate segments (the split-frame switch relies on it).
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                {
                    std::lock_guard lk(mu_);
                    ++counters_.connections_accepted;
                    ++counters_.connections_open;
                    if (counters_.connections_open > counters_.connections_peak)
                        counters_.connections_peak = counters_.connections_open;
                }
                auto c = std::make_unique<Connection>();
                c->fd = fd;
                Connection *raw = c.get();
                std::lock_guard lk(conns_mu_);
                conns_.push_back(std::move(c));
                raw->thread = std::thread(&Device::serve, this, raw);
            }
        }
        reap(false);
    }
}

void Device::serve(Connection *conn) {
    const int fd = conn->fd;
    unsigned served = 0;
    try {
        for (;;) {
            uint32_t len = 0;
            size_t got = recv_exact(fd, &len, sizeof len);
            if (got != sizeof len) break;  // EOF or reset at (or inside) a frame boundary: the client left
            if (len >= kFrameLimit) {
                violation("frame length " + std::to_string(len) + " at or above the limit", "");
                break;
            }
            if (len == 0) {
                violation("zero-length request frame", "");
                continue;
            }
            std::string payload(len, '\0');
            if (recv_exact(fd, payload.data(), len) != len) break;
            bool keep = payload[0] == '{' ? serve_framed(fd, std::move(payload), served)
                                          : serve_http(fd, std::move(payload), served);
            ++served;
            if (!keep || stopping_) break;
        }
    } catch (const std::exception &e) {
        violation(std::string("emulator failure: ") + e.what(), "");
    }
    {
        std::lock_guard lk(conns_mu_);
        ::close(conn->fd);
        conn->fd = -1;
    }
    {
        std::lock_guard lk(mu_);
        --counters_.connections_open;
        if (served == 0 && !stopping_) ++counters_.closed_without_request;
        ++counters_.requests_per_connection[served];
        if (served > counters_.max_requests_per_connection) counters_.max_requests_per_connection = served;
    }
    conn->done = true;
}

bool Device::serve_http(int fd, std::string &&block, unsigned index) {
    HeaderBlock hb = parse_header_block(block);
    Request req;
    req.protocol = Protocol::Http;
    req.head = &hb;
    req.index_on_connection = index;
    BodyFacts facts;

    uint64_t clen = 0;
    if (const std::string *cl = hb.find("Content-Length")) facts.content_length_ok = parse_length(*cl, clen);
    const bool upload = hb.find("Location") != nullptr;
    if (clen > (upload ? kUploadBodyLimit : kBodyLimit)) {
        violation("Content-Length " + std::to_string(clen) + " too large", block);
        return false;
    }
    int64_t drop_after = -1;
    size_t pace_bytes = 0;
    int pace_ms = 0;
    if (upload) {
        std::lock_guard lk(mu_);
        drop_after = faults_.upload_drop_after;
        pace_bytes = faults_.upload_pace_bytes;
        pace_ms = faults_.upload_pace_ms;
    }
    uint64_t want = clen;
    if (drop_after >= 0 && static_cast<uint64_t>(drop_after) < want) want = static_cast<uint64_t>(drop_after);
    uint64_t got = 0;
    if (upload) {
        req.body_length = clen;
        req.read_body = [this, fd, want, pace_bytes, pace_ms, &got](char *buf, size_t size) -> size_t {
            if (pace_bytes > 0) {
                if (got > 0 && !pause(pace_ms)) return 0;  // the device stops
                size = std::min(size, pace_bytes);
            }
            const size_t n = static_cast<size_t>(std::min<uint64_t>(size, want - got));
            const size_t r = n ? recv_exact(fd, buf, n) : 0;
            got += r;
            return r;
        };
    } else {
        req.body.resize(want);
        got = recv_exact(fd, req.body.data(), want);
        if (got != clen) return false;  // the client gave up mid-body
    }

    const std::string *conn = hb.find("Connection");
    req.keep_alive = conn && iequals(*conn, "keep-alive");
    const std::string *enc = hb.find("Encrypt");
    facts.encrypt_aes = enc && enc->compare(0, 3, "aes") == 0;
    if (const std::string *loc = hb.find("Location")) {
        facts.from_location = true;
        req.text = *loc;
    } else if (facts.encrypt_aes) {
        std::string copy = req.body;
        facts.decipher_ok = copy.size() % 16 == 0 && decipher(copy, cipher_key());
        if (facts.decipher_ok) req.text = std::string(until_nul(copy));
    } else {
        req.text = std::string(until_nul(req.body));
    }
    JsonPtr holder;
    bool json_ok = read_envelope(req, holder);

    bool strict;
    {
        std::lock_guard lk(mu_);
        strict = strict_;
        ++counters_.requests_http;
        ++counters_.requests_by_cmd[req.cmd];
        if (req.cmd == 175) ++(req.keep_alive ? counters_.pool_opens : counters_.pool_closes);
    }
    if (strict) {
        std::vector<std::string> found = check_http_request(req, address_, facts);
        if (json_ok || !req.text.empty()) {
            auto env = check_envelope(req);
            found.insert(found.end(), env.begin(), env.end());
        }
        for (auto &f : found) violation(std::move(f), request_log(req, block));
    }
    Reply reply = dispatch(req);
    if (upload) {
        // Drain what the handler did not take.
        std::vector<char> sink(1 << 16);
        while (got < want && req.read_body(sink.data(), sink.size()) > 0) {
        }
    }
    {
        std::lock_guard lk(mu_);
        counters_.request_body_bytes += got;
        if (upload) counters_.upload_body_bytes += got;
    }
    // An upload cut short gets no reply, as on a real device, which keeps the partial file the handler
    // stored.
    if (got != clen) return false;
    return send_http_reply(fd, req, reply);
}

bool Device::serve_framed(int fd, std::string &&payload, unsigned index) {
    Request req;
    req.protocol = Protocol::FramedJson;
    req.index_on_connection = index;
    req.text = std::move(payload);
    JsonPtr holder;
    read_envelope(req, holder);
    bool strict;
    Faults f;
    {
        std::lock_guard lk(mu_);
        strict = strict_;
        f = faults_;
        ++counters_.requests_framed;
        ++counters_.requests_by_cmd[req.cmd];
        counters_.request_body_bytes += req.text.size();
    }
    if (strict)
        for (auto &w : check_envelope(req)) violation(std::move(w), req.text);
    Reply reply = dispatch(req);
    if (reply.raw_writer) {
        const bool keep = reply.raw_writer(fd);
        std::lock_guard lk(mu_);
        ++counters_.commands_answered;
        return keep;
    }
    if (reply.next_chunk)
        while (auto d = reply.next_chunk()) reply.chunks.push_back(std::move(*d));

    std::vector<std::string> texts;
    if (reply.raw_text)
        texts.push_back(*reply.raw_text);
    else if (!reply.chunks.empty())
        for (const auto &d : reply.chunks) texts.push_back(envelope(req, reply.error, d));
    else
        texts.push_back(envelope(req, reply.error, reply.data));
    if (f.reply_delay_ms > 0 && !pause(f.reply_delay_ms)) return false;
    uint64_t bytes = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0 && reply.chunk_interval_ms > 0 && !pause(reply.chunk_interval_ms)) return false;
        std::string fr = frame(texts[i]);
        if (f.split_frame_length) {
            if (!send_all(fd, fr.data(), 4) || !pause(f.split_pause_ms) ||
                !send_all(fd, fr.data() + 4, fr.size() - 4))
                return false;
        } else if (!send_all(fd, fr)) {
            return false;
        }
        bytes += texts[i].size();
    }
    std::lock_guard lk(mu_);
    ++counters_.commands_answered;
    counters_.reply_body_bytes += bytes;
    return !reply.close_after;
}

Reply Device::dispatch(Request &req) {
    Handler h;
    int unknown_error;
    {
        std::lock_guard lk(mu_);
        auto it = handlers_.find(req.cmd);
        if (it != handlers_.end()) h = it->second;
        unknown_error = unknown_error_;
        if (!h) ++counters_.unknown_commands;
    }
    if (!h) {
        Reply r;
        r.error = unknown_error;
        return r;
    }
    return h(*this, req);
}

std::string Device::envelope(const Request &req, int error, const std::optional<std::string> &data) const {
    char head[160];
    std::snprintf(head, sizeof head,
                  "{\"header\":{\"cmd\":%d,\"error\":%d,\"token\":%" PRId64 ",\"seq\":%" PRId32 "}", req.cmd,
                  error, req.token, req.seq);
    std::string s(head);
    if (data) s += ",\"data\":" + *data;
    s += "}";
    return s;
}

bool Device::send_http_reply(int fd, const Request &req, const Reply &reply) {
    ReplyOptions opts;
    Faults f;
    CipherKey key;
    {
        std::lock_guard lk(mu_);
        auto it = cmd_options_.find(req.cmd);
        opts = it != cmd_options_.end() ? it->second : default_options_;
        f = faults_;
        key = key_;
    }
    if (reply.options) opts = *reply.options;
    if (reply.raw_writer) {
        const bool keep = reply.raw_writer(fd);
        std::lock_guard lk(mu_);
        ++counters_.commands_answered;
        return keep;
    }
    if (reply.file_data) {
        const uint64_t end = reply.file_offset + reply.file_data->size();
        std::string fhead = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Range: bytes " +
                            std::to_string(reply.file_offset) + "-" + std::to_string(end) + "\r\n\r\n";
        if (!send_all(fd, frame(fhead)) || !send_all(fd, *reply.file_data)) return false;
        std::lock_guard lk(mu_);
        ++counters_.commands_answered;
        counters_.reply_body_bytes += reply.file_data->size();
        return false;  // the device ends an open stream by closing
    }
    const bool streamed = !reply.chunks.empty() || static_cast<bool>(reply.next_chunk);
    const bool chunked = opts.chunked || streamed;
    const bool gz = opts.gzip || f.truncated_gzip;

    std::vector<std::string> texts;
    if (reply.raw_text)
        texts.push_back(*reply.raw_text);
    else if (streamed)
        for (const auto &d : reply.chunks) texts.push_back(envelope(req, reply.error, d));
    else
        texts.push_back(envelope(req, reply.error, reply.data));

    // JSON text -> encipher block 0 -> gzip, per chunk when chunked.
    auto encode = [&](std::string t) {
        if (opts.cipher) t = encipher(t, key);
        if (gz) t = gzip_member(t);
        if (f.truncated_gzip) t.resize(t.size() / 2);
        return t;
    };
    uint64_t total = 0;
    for (auto &t : texts) {
        t = encode(std::move(t));
        total += t.size();
    }

    std::string head = f.no_reason_phrase ? "HTTP/1.1 200\r\n" : "HTTP/1.1 200 OK\r\n";
    if (chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else
        head +=
            "Content-Length: " + std::to_string(total + (f.short_body ? f.short_body_missing : 0)) + "\r\n";
    if (gz) head += "Content-Encoding: gzip\r\n";
    if (opts.cipher) head += "Encrypt: aes\r\n";
    head += "\r\n";

    if (f.reply_delay_ms > 0 && !pause(f.reply_delay_ms)) return false;
    std::string fr = frame(head);
    if (f.split_frame_length) {
        if (!send_all(fd, fr.data(), 4) || !pause(f.split_pause_ms) ||
            !send_all(fd, fr.data() + 4, fr.size() - 4))
            return false;
    } else if (!send_all(fd, fr)) {
        return false;
    }

    uint64_t chunks = 0;
    if (!chunked) {
        if (!send_all(fd, texts[0])) return false;
        if (f.short_body) return false;  // the announced rest never comes: close
    } else {
        for (size_t i = 0; i < texts.size(); ++i) {
            if (i > 0 && reply.chunk_interval_ms > 0 && !pause(reply.chunk_interval_ms)) return false;
            if (!send_all(fd, chunk(texts[i]))) return false;
            ++chunks;
        }
        if (reply.next_chunk) {
            bool first = texts.empty();
            while (true) {
                if (!first && reply.chunk_interval_ms > 0 && !pause(reply.chunk_interval_ms)) return false;
                first = false;
                auto d = reply.next_chunk();
                if (!d) break;
                std::string t = encode(envelope(req, reply.error, *d));
                total += t.size();
                const bool sent = send_all(fd, chunk(t));
                {
                    std::lock_guard lk(mu_);
                    ++counters_.chunks_sent;
                    ++counters_.chunks_by_cmd[req.cmd];
                }
                if (!sent) return false;
            }
        }
        if (!send_all(fd, kLastChunk)) return false;
    }
    std::lock_guard lk(mu_);
    ++counters_.commands_answered;
    counters_.reply_body_bytes += total;
    counters_.chunks_sent += chunks;
    if (chunks) counters_.chunks_by_cmd[req.cmd] += chunks;
    return !reply.close_after;
}

void Device::violation(std::string what, const std::string &request) {
    std::lock_guard lk(mu_);
    violations_.push_back({std::move(what), request});
}

bool Device::pause(int ms) {
    std::unique_lock lk(mu_);
    return !stop_cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

void Device::set_handler(int cmd, Handler handler) {
    std::lock_guard lk(mu_);
    handlers_[cmd] = std::move(handler);
}

void Device::remove_handler(int cmd) {
    std::lock_guard lk(mu_);
    handlers_.erase(cmd);
}

void Device::set_unknown_command_error(int error) {
    std::lock_guard lk(mu_);
    unknown_error_ = error;
}

void Device::set_reply_options(const ReplyOptions &options) {
    std::lock_guard lk(mu_);
    default_options_ = options;
}

void Device::set_reply_options(int cmd, const ReplyOptions &options) {
    std::lock_guard lk(mu_);
    cmd_options_[cmd] = options;
}

void Device::set_faults(const Faults &faults) {
    std::lock_guard lk(mu_);
    faults_ = faults;
}

Faults Device::faults() const {
    std::lock_guard lk(mu_);
    return faults_;
}

void Device::set_cipher_key(const CipherKey &key) {
    std::lock_guard lk(mu_);
    key_ = key;
}

CipherKey Device::cipher_key() const {
    std::lock_guard lk(mu_);
    return key_;
}

void Device::set_strict(bool on) {
    std::lock_guard lk(mu_);
    strict_ = on;
}

std::vector<Violation> Device::violations() const {
    std::lock_guard lk(mu_);
    return violations_;
}

void Device::clear_violations() {
    std::lock_guard lk(mu_);
    violations_.clear();
}

Counters Device::counters() const {
    std::lock_guard lk(mu_);
    return counters_;
}

void Device::set_users(std::vector<DeviceUser> users) {
    std::lock_guard lk(mu_);
    users_ = std::move(users);
}

std::vector<DeviceUser> Device::users() const {
    std::lock_guard lk(mu_);
    return users_;
}

}  // namespace qvemu
