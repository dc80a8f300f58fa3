// A tiny client for the emulator's tests, written apart from the emulator: plain sockets, its own framing,
// OpenSSL for block 0 and zlib for gzip. Header-only; used by the *_test.cpp files.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rawtest {

inline std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// AES-256 on the first 16 bytes only; the rest stays as it is.
inline bool aes_block0(std::string &buf, const unsigned char *key, bool encrypt) {
    if (buf.size() < 16) return false;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    unsigned char out[32];
    int n = 0;
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out, &n, reinterpret_cast<unsigned char *>(buf.data()), 16) == 1 &&
              n == 16;
    EVP_CIPHER_CTX_free(ctx);
    if (ok) std::memcpy(buf.data(), out, 16);
    return ok;
}

// Zero-pads to a multiple of 16 and enciphers block 0, as a client does for request bodies.
inline std::string client_encipher(std::string text, const unsigned char *key) {
    text.resize((text.size() + 15) / 16 * 16, '\0');
    aes_block0(text, key, true);
    return text;
}

// Inflates one gzip member (window bits 31). Nothing when the member is damaged or incomplete.
inline std::optional<std::string> gunzip(const std::string &in) {
    z_stream zs{};
    if (inflateInit2(&zs, 31) != Z_OK) return std::nullopt;
    std::string out;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    int rc = Z_OK;
    char buf[4096];
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef *>(buf);
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.append(buf, sizeof buf - zs.avail_out);
        if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) break;  // input ran out before the end
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

struct RawReply {
    std::string block;  // the reply header frame payload
    std::string status_line;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;                            // Content-Length body (what arrived)
    std::vector<std::string> chunks;             // chunked body, without the end chunk
    bool ended_early = false;                    // EOF before the announced length or the end chunk

    bool has(const std::string &name) const { return headers.count(lower(name)) != 0; }
    std::string get(const std::string &name) const {
        auto it = headers.find(lower(name));
        return it == headers.end() ? std::string() : it->second;
    }
};

class RawClient {
  public:
    RawClient(const std::string &addr, uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};  // never hang a test
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    ~RawClient() { close(); }
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool write(const std::string &bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // One frame: 4-byte host-order length, then the payload.
    bool send_frame(const std::string &payload) {
        uint32_t n = static_cast<uint32_t>(payload.size());
        std::string out(reinterpret_cast<const char *>(&n), 4);
        return write(out + payload);
    }
    bool send_request(const std::string &block, const std::string &body) {
        return send_frame(block) && (body.empty() || write(body));
    }

    // Reads up to n bytes; fewer on EOF.
    std::string read_n(size_t n) {
        std::string out(n, '\0');
        size_t got = 0;
        while (got < n) {
            ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }
    std::optional<std::string> read_frame() {
        std::string len = read_n(4);
        if (len.size() != 4) return std::nullopt;
        uint32_t n;
        std::memcpy(&n, len.data(), 4);
        std::string payload = read_n(n);
        if (payload.size() != n) return std::nullopt;
        return payload;
    }
    // True when the peer has closed (recv gives 0).
    bool at_eof() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0;
    }

    // The reply header frame, then its body by Content-Length or chunks.
    std::optional<RawReply> read_reply() {
        auto block = read_frame();
        if (!block) return std::nullopt;
        return read_reply_after(*block);
    }
    RawReply read_reply_after(const std::string &block) {
        RawReply r;
        r.block = block;
        size_t first = block.find("\r\n");
        size_t end = block.find("\r\n\r\n");
        r.status_line = block.substr(0, first);
        if (first != std::string::npos && end != std::string::npos) {
            std::string rest = block.substr(first + 2, end + 2 - (first + 2));
            for (size_t pos = 0; pos < rest.size();) {
                size_t eol = rest.find("\r\n", pos);
                std::string line = rest.substr(pos, eol - pos);
                pos = eol + 2;
                size_t colon = line.find(": ");
                if (colon != std::string::npos)
                    r.headers[lower(line.substr(0, colon))] = line.substr(colon + 2);
            }
        }
        if (r.has("Transfer-Encoding")) {
            for (;;) {
                std::string line;
                while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
                    std::string c = read_n(1);
                    if (c.empty()) {
                        r.ended_early = true;
                        return r;
                    }
                    line += c;
                }
                size_t n = std::stoul(line, nullptr, 16);
                std::string data = read_n(n + 2);
                if (data.size() != n + 2) {
                    r.ended_early = true;
                    return r;
                }
                if (n == 0) break;
                r.chunks.push_back(data.substr(0, n));
            }
        } else if (r.has("Content-Length")) {
            size_t n = std::stoul(r.get("Content-Length"));
            r.body = read_n(n);
            r.ended_early = r.body.size() != n;
        }
        return r;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// A request header block in the client's order: Content-Type, [Connection], Timeout, [Encrypt],
// Content-Length, [Host], User-Agent.
struct BlockSpec {
    bool keep_alive = false;
    int timeout = 20000;
    bool encrypt = true;
    std::string host;  // empty: no Host line
    std::string user_agent = "qvhttp/1.0";
};

inline std::string request_block(const BlockSpec &s, size_t content_length) {
    std::string b = "POST / HTTP/1.1\r\nContent-Type: application/json\r\n";
    if (s.keep_alive) b += "Connection: keep-alive\r\n";
    b += "Timeout: " + std::to_string(s.timeout) + "\r\n";
    if (s.encrypt) b += "Encrypt: aes\r\n";
    b += "Content-Length: " + std::to_string(content_length) + "\r\n";
    if (!s.host.empty()) b += "Host: " + s.host + "\r\n";
    if (!s.user_agent.empty()) b += "User-Agent: " + s.user_agent + "\r\n";
    return b + "\r\n";
}

// A header-only envelope in json-c's spaced form.
inline std::string header_only(int cmd, long long token, int seq) {
    return "{ \"header\": { \"cmd\": " + std::to_string(cmd) + ", \"token\": " + std::to_string(token) +
           ", \"seq\": " + std::to_string(seq) + ", \"error\": 0 } }";
}

}  // namespace rawtest
