// Test peers for the messaging tests: a temporary working folder, child processes that are always reaped,
// free loopback ports, a real mosquitto with plain and TLS listeners, a password file and an ACL, a TCP
// forwarder that a test can cut or refuse, and mosquitto_pub / mosquitto_sub peers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "messaging/qvmsgs_conn.h"

namespace mqtt_tb {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

// Polls pred every 5 ms for up to limit_ms.
inline bool wait_for(const std::function<bool()> &pred, int limit_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (!pred()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline int free_port(const char *addr = "127.0.0.1") {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, addr, &a.sin_addr);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

inline bool port_accepts(int port, const char *addr = "127.0.0.1") {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// A temporary working folder (the process's cwd while it lives); never holds a file named "notimeout".
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/qvmsg-XXXXXX";
        path_ = mkdtemp(tmpl);
        old_cwd_ = fs::current_path();
        fs::current_path(path_);
    }
    ~TempDir() {
        fs::current_path(old_cwd_);
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    fs::path old_cwd_;
};

// In a forked child: closes every descriptor above standard error, so that no socket of the test (a
// forwarder's, a client's) stays open in a peer process and outlives a cut.
inline void close_inherited() {
    for (int fd = 3; fd < 4096; ++fd) close(fd);
}

// A child process with stdout and stderr in a file; killed and reaped on destruction.
class Proc {
  public:
    Proc() = default;
    Proc(const std::vector<std::string> &argv, const std::string &out_file) { start(argv, out_file); }
    ~Proc() { stop(); }
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;

    void start(const std::vector<std::string> &argv, const std::string &out_file) {
        out_ = out_file;
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            close_inherited();
            std::vector<char *> args;
            for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    // Waits for the child to end by itself: its exit status, or -1 after limit_ms (then it is killed).
    int wait_exit(int limit_ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
        while (pid_ > 0) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
            }
            if (Clock::now() >= end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stop();
        return -1;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int st = 0;
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &st, WNOHANG) != pid_) {
            if (Clock::now() >= end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pid_ = -1;
    }
    std::string output() const { return read_file(out_); }
    // Whether the child still runs (reaps it when it has ended).
    bool alive() {
        if (pid_ <= 0) return false;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) pid_ = -1;
        return pid_ > 0;
    }

  private:
    pid_t pid_ = -1;
    std::string out_;
};

inline std::string cert(const std::string &name) {
    return std::string(QV_TEST_CERT_DIR) + "/" + name;
}

// mosquitto on two free loopback ports: plain and TLS, logins from a password file, an ACL.
class Broker {
  public:
    struct Options {
        std::string devices_password = QVMSGS_PASSWORD;
        std::string certfile = cert("server-chain.pem");
        std::string keyfile = cert("server.key");
    };
    Broker() : Broker(Options{}) {}
    explicit Broker(const Options &o) {
        char tmpl[] = "/tmp/qvbroker-XXXXXX";
        dir_ = mkdtemp(tmpl);
        write_file(dir_ + "/acl",
                   "user devices\ntopic readwrite qv_tessera/#\ntopic readwrite qvsl/p2p/#\n"
                   "user tester\ntopic readwrite #\n");
        run({"mosquitto_passwd", "-c", "-b", dir_ + "/passwd", "devices", o.devices_password});
        run({"mosquitto_passwd", "-b", dir_ + "/passwd", "tester", "tester"});
        // A free port can be taken by a parallel test before mosquitto binds it: try new ones then.
        for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
            plain_ = free_port();
            tls_ = free_port();
            while (tls_ == plain_) tls_ = free_port();
            std::ostringstream conf;
            conf << "user root\npersistence false\nlog_dest file " << dir_ << "/mosquitto.log\nlog_type all\n"
                 << "per_listener_settings false\nallow_anonymous false\npassword_file " << dir_
                 << "/passwd\n"
                 << "acl_file " << dir_ << "/acl\n"
                 << "listener " << plain_ << " 127.0.0.1\n"
                 << "listener " << tls_ << " 127.0.0.1\n"
                 << "cafile " << cert("root.pem") << "\ncertfile " << o.certfile << "\nkeyfile " << o.keyfile
                 << "\n";
            write_file(dir_ + "/mosquitto.conf", conf.str());
            proc_.stop();
            proc_.start({"mosquitto", "-c", dir_ + "/mosquitto.conf"}, dir_ + "/stdout.log");
            ready_ = wait_for([this] { return proc_.alive() && port_accepts(plain_) && port_accepts(tls_); },
                              10000);
        }
    }
    ~Broker() {
        proc_.stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool ready() const { return ready_; }
    int plain() const { return plain_; }
    int tls() const { return tls_; }
    std::string log() const { return read_file(dir_ + "/mosquitto.log"); }
    const std::string &dir() const { return dir_; }

    static void run(const std::vector<std::string> &argv) {
        Proc p(argv, "/dev/null");
        p.wait_exit(10000);
    }

  private:
    std::string dir_;
    int plain_ = 0, tls_ = 0;
    bool ready_ = false;
    Proc proc_;
};

// A loopback TCP forwarder in front of a port. cut() drops every open connection; refuse() closes the
// listener so that connects are refused until accept_again().
class Forwarder {
  public:
    explicit Forwarder(int target, const char *listen_addr = "127.0.0.1")
        : target_(target), addr_(listen_addr) {
        port_ = free_port(listen_addr);
        open_listener();
        thread_ = std::thread([this] { loop(); });
    }
    ~Forwarder() {
        stop_ = true;
        thread_.join();
        std::lock_guard<std::mutex> lk(mu_);
        if (listen_fd_ >= 0) close(listen_fd_);
        for (auto &p : pairs_) close_pair(p);
    }
    int port() const { return port_; }
    void cut() {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto &p : pairs_) close_pair(p);
        pairs_.clear();
    }
    void refuse() {
        std::lock_guard<std::mutex> lk(mu_);
        if (listen_fd_ >= 0) close(listen_fd_);
        listen_fd_ = -1;
        for (auto &p : pairs_) close_pair(p);
        pairs_.clear();
    }
    void accept_again() {
        std::lock_guard<std::mutex> lk(mu_);
        open_listener();
    }
    int accepted() const { return accepted_; }

  private:
    struct Pair {
        int a, b;
    };
    static void close_pair(Pair &p) {
        shutdown(p.a, SHUT_RDWR);
        shutdown(p.b, SHUT_RDWR);
        close(p.a);
        close(p.b);
    }
    void open_listener() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        inet_pton(AF_INET, addr_.c_str(), &a.sin_addr);
        bind(listen_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listen_fd_, 16);
    }
    int connect_target() {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(target_));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(s);
            return -1;
        }
        return s;
    }
    void loop() {
        char buf[65536];
        while (!stop_) {
            std::vector<pollfd> fds;
            {
                std::lock_guard<std::mutex> lk(mu_);
                if (listen_fd_ >= 0) fds.push_back({listen_fd_, POLLIN, 0});
                for (auto &p : pairs_) {
                    fds.push_back({p.a, POLLIN, 0});
                    fds.push_back({p.b, POLLIN, 0});
                }
            }
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            std::lock_guard<std::mutex> lk(mu_);
            for (auto &f : fds) {
                if (!(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
                if (f.fd == listen_fd_) {
                    const int c = accept(listen_fd_, nullptr, nullptr);
                    if (c < 0) continue;
                    const int t = connect_target();
                    if (t < 0) {
                        close(c);
                        continue;
                    }
                    pairs_.push_back({c, t});
                    ++accepted_;
                    continue;
                }
                for (size_t i = 0; i < pairs_.size(); ++i) {
                    auto &p = pairs_[i];
                    if (f.fd != p.a && f.fd != p.b) continue;
                    const int from = f.fd, to = f.fd == p.a ? p.b : p.a;
                    const ssize_t n = recv(from, buf, sizeof buf, MSG_DONTWAIT);
                    if (n <= 0 || send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
                        if (n < 0 && errno == EAGAIN) break;
                        close_pair(p);
                        pairs_.erase(pairs_.begin() + static_cast<long>(i));
                    }
                    break;
                }
            }
        }
    }
    int target_;
    std::string addr_;
    int port_ = 0;
    int listen_fd_ = -1;
    std::vector<Pair> pairs_;
    std::mutex mu_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
};

// A mosquitto_sub peer (user tester) printing "topic payload" lines; ready once its SUBACK was printed.
class Sub {
  public:
    Sub(int port, const std::string &topic, const std::string &out_file, int count = 0, bool tls = false) {
        std::vector<std::string> a = {"stdbuf",
                                      "-oL",
                                      "mosquitto_sub",
                                      "-d",
                                      "-h",
                                      "127.0.0.1",
                                      "-p",
                                      std::to_string(port),
                                      "-u",
                                      "tester",
                                      "-P",
                                      "tester",
                                      "-q",
                                      "1",
                                      "-v",
                                      "-t",
                                      topic,
                                      "-W",
                                      "60"};
        if (count > 0) a.insert(a.end(), {"-C", std::to_string(count)});
        if (tls) a.insert(a.end(), {"--cafile", cert("root.pem")});
        proc_.start(a, out_file);
        ready_ = wait_for([this] { return proc_.output().find("SUBACK") != std::string::npos; }, 15000);
    }
    bool ready() const { return ready_; }
    // Lines "topic payload" received so far (debug lines dropped).
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        std::istringstream in(proc_.output());
        for (std::string l; std::getline(in, l);)
            if (l.rfind("Client ", 0) != 0 && l.rfind("Subscribed", 0) != 0 && !l.empty()) out.push_back(l);
        return out;
    }
    Proc &proc() { return proc_; }

  private:
    Proc proc_;
    bool ready_ = false;
};

inline int publish(int port, const std::string &topic, const std::string &payload, bool tls = false) {
    std::vector<std::string> a = {"mosquitto_pub",
                                  "-h",
                                  "127.0.0.1",
                                  "-p",
                                  std::to_string(port),
                                  "-u",
                                  "tester",
                                  "-P",
                                  "tester",
                                  "-q",
                                  "1",
                                  "-t",
                                  topic,
                                  "-m",
                                  payload};
    if (tls) a.insert(a.end(), {"--cafile", cert("root.pem")});
    Proc p(a, "/dev/null");
    return p.wait_exit(15000);
}

// The HTTPS stub of the service-login endpoint (testbed/messaging/login_stub.py) in a folder of its own.
class LoginStub {
  public:
    static constexpr const char *kAppId = "0123456789ABCDEF";
    static constexpr const char *kAppKey = "0123456789abcdef0123456789abcde";
    explicit LoginStub(bool stray_cert = false) {
        char tmpl[] = "/tmp/qvstub-XXXXXX";
        dir_ = mkdtemp(tmpl);
        proc_.start({"/usr/bin/python3", QV_TESTBED_DIR "/login_stub.py", dir_, kAppId, kAppKey,
                     cert(stray_cert ? "stray-server.pem" : "server-chain.pem"),
                     cert(stray_cert ? "stray-server.key" : "server.key")},
                    dir_ + "/stub.log");
        if (wait_for([this] { return fs::exists(dir_ + "/port"); }, 15000))
            port_ = std::stoi(read_file(dir_ + "/port"));
    }
    ~LoginStub() {
        proc_.stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool ready() const { return port_ > 0; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string base() const { return "https://" + host(); }
    // {"<cmd>": {"status": N, "body": "...", "delay": seconds}}
    void control(const std::string &json) { write_file(dir_ + "/control.json", json); }
    std::vector<std::string> requests() const {
        std::vector<std::string> out;
        std::istringstream in(read_file(dir_ + "/requests.jsonl"));
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    std::string output() const { return proc_.output(); }

  private:
    std::string dir_;
    int port_ = 0;
    Proc proc_;
};

inline std::string plain_uri(int port) {
    return "127.0.0.1:" + std::to_string(port);
}
inline std::string tls_uri(int port, const char *host = "127.0.0.1") {
    return std::string("ssl://") + host + ":" + std::to_string(port);
}

}  // namespace mqtt_tb
