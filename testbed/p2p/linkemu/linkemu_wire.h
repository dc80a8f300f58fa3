// Wire mode: the emulator spliced between two veths of its own namespace. Frames read on side a (AF_PACKET,
// promiscuous) cross direction 0 of the link and leave on side b, and back on direction 1, so kernel TCP
// between the namespaces behind them crosses the same impaired link as the stream. ARP passes unimpaired.
// WireNetns builds the three namespaces around it (root only).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "linkemu.h"

namespace linkemu {

// An AF_PACKET socket for every protocol on ifname, in the calling thread's network namespace, promiscuous,
// not seeing its own output; -1 with *why set.
int openPacketSocket(const std::string &ifname, std::string *why);

class Wire {
  public:
    // Takes both descriptors; the thread starts at once.
    Wire(int fdA, int fdB, uint64_t seed, const Profile &ab, const Profile &ba);
    ~Wire();
    Wire(const Wire &) = delete;
    Wire &operator=(const Wire &) = delete;

    std::string banner() const { return link_.banner(); }
    Counters counters(int dir);  // 0 a to b, 1 b to a
    uint64_t arpPassed() const { return arp_.load(); }
    uint64_t sendErrors() const { return sendErrors_.load(); }
    // The decision logs, one line per frame, after "# a>b" and "# b>a".
    void writeLog(FILE *f);

  private:
    void run();

    int fd_[2];
    int wake_[2];  // a pipe that ends the thread
    std::mutex m_;
    Link link_;
    std::atomic<uint64_t> arp_{0}, sendErrors_{0};
    std::thread thread_;
};

// Namespaces <p>a, <p>emu and <p>b: veth a0 (10.77.0.1/24 in a) to ea (emu), veth b0 (10.77.0.2/24 in b)
// to eb (emu); IPv6 off and checksum and segmentation offloads off on a0 and b0, so every frame is a whole,
// checksummed one; static neighbour entries, so no ARP has to cross first; everything up. Deleted with the
// object.
class WireNetns {
  public:
    static constexpr const char *kAddrA = "10.77.0.1";
    static constexpr const char *kAddrB = "10.77.0.2";

    // Null with *why set (not root, no ip(8), no veth).
    static std::unique_ptr<WireNetns> make(std::string *why);
    ~WireNetns();

    const std::string &name(char which) const;  // 'a', 'e' (emu) or 'b'
    // Runs f on the calling thread inside namespace which, then returns to where it was; sockets made in f
    // stay in that namespace.
    bool in(char which, const std::function<void()> &f);
    // The emulator between ea and eb; null with *why set.
    std::unique_ptr<Wire> splice(uint64_t seed, const Profile &ab, const Profile &ba, std::string *why);

  private:
    WireNetns() = default;
    std::string a_, e_, b_;
};

}  // namespace linkemu
