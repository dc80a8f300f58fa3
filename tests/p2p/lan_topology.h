// The LAN topology: this process (already in a namespace of its own) is the client on 192.168.30.2; a
// second namespace holds the device at 192.168.30.3, joined by a veth pair, with the test servers on its own
// loopback, so only the LAN can carry a session. The device daemon runs there. Needs root.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qvtest {

inline int run(const std::string &cmd) {
    const int rc = system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A child started with its stdout on a pipe; waits for a first line.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string line;

    bool start(const std::vector<std::string> &argv, int waitMs) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return false;
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            std::vector<char *> a;
            for (const std::string &s : argv) a.push_back(const_cast<char *>(s.c_str()));
            a.push_back(nullptr);
            execvp(a[0], a.data());
            _exit(127);
        }
        close(p[1]);
        out = p[0];
        if (pid < 0) return false;
        // The first line ("ready ...").
        for (int waited = 0; waited < waitMs;) {
            pollfd pf{out, POLLIN, 0};
            if (poll(&pf, 1, 100) <= 0) {
                waited += 100;
                continue;
            }
            char c;
            if (read(out, &c, 1) != 1) return false;
            if (c == '\n') return true;
            line += c;
        }
        return false;
    }
    void kill_now(int sig) {
        if (pid <= 0) return;
        ::kill(pid, sig);
    }
    void reap() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            for (int i = 0; i < 300; ++i) {
                if (waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1;
                    break;
                }
                usleep(10000);
            }
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        pid = -1;
        if (out >= 0) close(out);
        out = -1;
    }
    ~Child() { reap(); }
};

class LanTopology {
  public:
    // "" when up, else why not.
    std::string up() {
        if (getenv("QV_NETNS_SKIP")) return getenv("QV_NETNS_SKIP");
        if (!getenv("QV_NETNS"))
            return "not in a namespace of the test's own (run through scripts/netns-run)";
        if (geteuid() != 0) return "the LAN topology needs root (veth pair and a second namespace)";
        ns_ = "qvlan" + std::to_string(getpid());
        const std::string c = "qvc" + std::to_string(getpid()), d = "qvd" + std::to_string(getpid());
        if (run("ip netns add " + ns_) != 0) return "ip netns add failed";
        made_ = true;
        if (run("ip link add " + c + " type veth peer name " + d + " netns " + ns_) != 0 ||
            run("ip addr add 192.168.30.2/24 dev " + c) != 0 || run("ip link set " + c + " up") != 0 ||
            run(in_ns("ip link set lo up")) != 0 || run(in_ns("ip addr add 192.168.30.3/24 dev " + d)) != 0 ||
            run(in_ns("ip link set " + d + " up")) != 0)
            return "veth set-up failed";
        return "";
    }
    std::string in_ns(const std::string &cmd) const { return "ip netns exec " + ns_ + " " + cmd; }
    std::vector<std::string> ns_argv(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {"ip", "netns", "exec", ns_});
        return argv;
    }
    ~LanTopology() {
        if (made_) run("ip netns del " + ns_);
    }

  private:
    std::string ns_;
    bool made_ = false;
};

}  // namespace qvtest
