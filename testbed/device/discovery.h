// The devices' side of LAN discovery on loopback: each emulated device binds <ip>:27212 and answers searches,
// detail requests and heartbeats from that socket to <requester>:27213; one search responder on the gateway
// address passes every search it receives on to all devices. One thread serves every socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emu {

struct DiscoveryDevice {
    std::string ip;  // 127.0.0.N: the device's identity
    std::string name = "Quillet";
    std::string mac = "00:11:22:33:44:55";
    std::string device_id;
    std::string p2p_uuid = "P2P-UID";
    int port = 13111;
    int supp_serv = 1;
    std::string misc = "misc";
    int type = 3;
    // Fault switches: which requests get an answer.
    bool answer_search = true;
    bool answer_detail = true;
    bool answer_beat = true;
};

class DiscoveryLan {
  public:
    // `gateway`: where the search responder binds (the address the client searches on).
    explicit DiscoveryLan(std::string gateway = "127.0.0.1") : gateway_(std::move(gateway)) {}
    ~DiscoveryLan();
    DiscoveryLan(const DiscoveryLan &) = delete;
    DiscoveryLan &operator=(const DiscoveryLan &) = delete;

    // Before start(). Returns the device's index.
    size_t add(const DiscoveryDevice &d);
    // Binds every socket and starts the thread; false when a bind fails.
    bool start();
    void stop();
    // Silences or revives a device (all three answers).
    void set_silent(size_t index, bool silent);
    // Requests received so far by command (1024 counts those at the responder).
    int received(int cmd) const;
    // Answers sent so far by all devices.
    int answered() const { return count_answers_; }

    // Sends one framed datagram from `from_ip` (bound, any port) to `to_ip`:27213.
    static bool send_raw(const std::string &from_ip, const std::string &to_ip, const std::string &payload);
    // Frames a payload: 4-byte length in host order, then the bytes.
    static std::string frame(const std::string &payload);

  private:
    struct Dev {
        DiscoveryDevice cfg;
        int fd = -1;
        std::atomic<bool> silent{false};
    };
    void run();
    void answer(Dev &d, int cmd, uint32_t to_addr);

    std::string gateway_;
    std::vector<std::unique_ptr<Dev>> devs_;
    int responder_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_search_{0}, count_detail_{0}, count_beat_{0}, count_answers_{0};
};

}  // namespace emu
