// Helpers of the tunnel's tests: loopback services (echo, source, sink) on ephemeral ports, plain TCP
// clients, thread names and descriptor counts of this process.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tnltest {

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        v[i] = (uint8_t)(x >> 24);
    }
    return v;
}

// A port that was free a moment ago (on every address).
inline int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    bind(fd, (sockaddr *)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

inline int dial(int port, uint32_t host = INADDR_LOOPBACK) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = htons((uint16_t)port);
    if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool sendAll(int fd, const uint8_t *p, size_t n) {
    while (n) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Reads until the end (or timeoutMs of silence).
inline std::vector<uint8_t> readAll(int fd, int timeoutMs = 20000) {
    std::vector<uint8_t> out;
    uint8_t buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        const ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// A loopback service with one thread per connection: "echo" sends back what it reads until the end, then
// closes; "source" sends `bytes` of the pattern and closes; "sink" reads until the end and counts.
class Service {
  public:
    enum Kind { Echo, Source, Sink };
    Service(Kind kind, size_t bytes = 0, uint32_t host = INADDR_LOOPBACK) : kind_(kind), bytes_(bytes) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(host);
        bind(fd_, (sockaddr *)&a, sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, (sockaddr *)&a, &len);
        port = ntohs(a.sin_port);
        listen(fd_, 64);
        if (kind == Source) data_ = pattern(bytes, 7);
        thread_ = std::thread([this] { run(); });
    }
    ~Service() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        for (std::thread &t : conns_) t.join();
        close(fd_);
    }
    int port = 0;
    std::atomic<uint64_t> sent{0}, received{0};
    std::atomic<int> accepted{0};
    const std::vector<uint8_t> &data() const { return data_; }

  private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            ++accepted;
            conns_.emplace_back([this, c] { serve(c); });
        }
    }
    void serve(int c) {
        uint8_t buf[65536];
        if (kind_ == Source) {
            size_t off = 0;
            while (off < data_.size() && !stop_) {
                const size_t n = std::min(sizeof buf, data_.size() - off);
                const ssize_t w = send(c, data_.data() + off, n, MSG_NOSIGNAL);
                if (w <= 0) break;
                off += (size_t)w;
                sent += (uint64_t)w;
            }
        } else {
            for (;;) {
                pollfd p{c, POLLIN, 0};
                if (poll(&p, 1, 200) == 0) {
                    if (stop_) break;
                    continue;
                }
                const ssize_t r = recv(c, buf, sizeof buf, 0);
                if (r <= 0) break;
                received += (uint64_t)r;
                if (kind_ == Echo && !sendAll(c, buf, (size_t)r)) break;
            }
        }
        close(c);
    }
    Kind kind_;
    size_t bytes_;
    std::vector<uint8_t> data_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> conns_;
};

// Names of this process's threads that begin with one of the prefixes.
inline std::vector<std::string> threadsNamed(const std::vector<std::string> &prefixes) {
    std::vector<std::string> out;
    DIR *d = opendir("/proc/self/task");
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        std::getline(f, name);
        for (const std::string &p : prefixes)
            if (name.rfind(p, 0) == 0) out.push_back(name);
    }
    closedir(d);
    return out;
}

inline int openDescriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own
}

// Waits up to ms for pred.
template <class F>
bool waitFor(F pred, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

}  // namespace tnltest
