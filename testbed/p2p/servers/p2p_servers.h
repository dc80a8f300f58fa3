// The P2P test servers: a master that hands out the server group, group servers that answer probes, keep
// device logins, answer device queries and pass peer addresses on for punches, and a "fixed server" that only
// accepts TCP. The master and every group server also listen on TCP (port 21047 at their own address) and
// answer the same queries over the stream. One thread polls every socket; every packet in and out goes to a
// JSON-lines log.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "psl_messages.h"
#include "udp_relay.h"

namespace qvbed::p2p {

struct Options {
    psl::Addr master{{127, 0, 0, 1}, 10240};
    std::vector<psl::Addr> servers{{{127, 0, 0, 2}, 20001}, {{127, 0, 0, 3}, 20001}};
    std::optional<psl::Addr> fixed = psl::Addr{{127, 0, 0, 4}, 80};  // TCP, accept only
    std::set<std::string> refuseUids;       // the master answers these with MSG_UID_REFUSED
    bool silent = false;                    // log what arrives, answer nothing
    std::optional<uint32_t> deviceVersion;  // reported in device queries instead of the login's
    bool asleep = false;                    // device queries draw MSG_DEVICE_ASLEEP
    bool punchAnswer = true;                // punches draw MSG_PEER_ADDRESS to both sides
    bool answerChecks = false;              // checking logins (bit 0 of payload 204) draw the redirect form
    int peerForm = 292;                     // 36, 116 or 292 bytes
    RelayOptions relay;                     // S1 relays over UDP
    uint16_t groupIds[3] = {1, 2, 3};
    bool tcp = true;  // TCP listeners on the master's and servers' addresses (--tcp-off: none)
    uint16_t tcpPort = 21047;
    bool tcpRelay = true;  // S1 relays sessions asked for over TCP
    std::string logPath;   // empty: no log file
};

// What a group server keeps of a device's login.
struct DeviceRecord {
    psl::Addr observed;   // login source
    size_t endpoint = 0;  // the server socket the login hit
    psl::Addr local;
    uint32_t natType = 0;
    uint32_t version = 0;
    uint64_t logins = 0;
};

class ServerSet {
  public:
    explicit ServerSet(Options o);
    ~ServerSet();
    ServerSet(const ServerSet &) = delete;
    ServerSet &operator=(const ServerSet &) = delete;

    // Binds every socket and starts the poll thread; false with the reason in *error when a bind fails.
    bool start(std::string *error);
    void stop();

    std::optional<DeviceRecord> device(const std::string &uid) const;
    size_t packets_in() const { return packetsIn_.load(); }
    const UdpRelay *relay() const { return relay_.get(); }

  private:
    struct Endpoint {
        std::string name;  // "M", "S1", "S2", ...
        bool master = false;
        int fd = -1;
        psl::Addr addr;
    };
    // An accepted TCP connection: packets back to back, reassembled by the framer.
    struct TcpConn {
        int fd = -1;
        size_t ep = 0;  // the endpoint whose listener accepted it
        psl::Addr peer;
        psl::StreamFramer framer;
    };
    // A session relayed for a client on a TCP connection to a device on UDP (p2p_servers_tcprelay.cpp).
    struct TcpRelay {
        std::string uid;
        uint32_t randomID = 0, mac = 0;
        psl::Addr client;  // the client's TCP peer address
        size_t ep = 0;     // the relaying endpoint
        uint16_t tag = 0;  // R, once joined
        bool deviceAnswered = false, deviceAttached = false, clientAttached = false;
        bool v2 = false;  // asked with MSG_RELAY_REQUEST2
        uint64_t toDevice = 0, toClient = 0;
    };
    struct ClientPunch {
        psl::Addr observed;
        psl::Fields fields;
    };

    void loop();
    void on_datagram(size_t ep, const uint8_t *data, size_t size, const psl::Addr &from);
    void on_packet(size_t ep, const psl::Packet &p, size_t size, const psl::Addr &from, bool tcp);
    // TCP side (p2p_servers_tcp.cpp): listeners, accepts, reads, and the replies that go back on a stream.
    bool tcp_start(std::string *error);
    void tcp_stop();
    void tcp_poll_add(std::vector<pollfd> *pfds) const;
    void tcp_poll_handle(const std::vector<pollfd> &pfds, size_t first);
    void tcp_read(size_t conn);
    bool tcp_send(const psl::Addr &to, const psl::Bytes &d);
    void send_stream(size_t ep, const psl::Addr &to, const char *msg, const char *form, const psl::Fields &f);
    // The TCP relay: a request, join or data packet from a stream; a device's answer or data by datagram.
    // True when the packet was the relay's.
    bool tcp_relay_client(size_t ep, const psl::Packet &p, const psl::Layout *l, const psl::Fields *f,
                          const psl::Addr &from);
    bool tcp_relay_device(size_t ep, const psl::Packet &p, const psl::Layout *l, const psl::Fields *f,
                          const psl::Addr &from);
    void tcp_relay_grant(TcpRelay &s);
    void tcp_relay_attach(TcpRelay &s, const DeviceRecord &d, bool toClient);
    void on_master(size_t ep, const psl::Packet &p, const psl::Layout *l, const psl::Fields &f,
                   const psl::Addr &from);
    void on_server(size_t ep, const psl::Packet &p, const psl::Layout *l, const psl::Fields &f,
                   const psl::Addr &from);
    void on_punch(size_t ep, const psl::Fields &f, const psl::Addr &from);
    void send(size_t ep, const psl::Addr &to, const char *msg, const char *form, const psl::Fields &f);
    void send_raw(size_t ep, const psl::Addr &to, const psl::Bytes &datagram);
    void log_line(const std::string &json);

    Options opt_;
    std::vector<Endpoint> eps_;
    int fixedFd_ = -1;
    std::vector<int> tcpListen_;  // one per endpoint (-1 when off)
    std::vector<TcpConn> tcpConns_;
    // While a packet from a stream is handled: replies to its sender go back on that stream.
    const TcpConn *replyTcp_ = nullptr;
    std::vector<TcpRelay> tcpRelays_;
    uint16_t nextTag_ = 0x5200;
    int wakeFd_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<size_t> packetsIn_{0};
    mutable std::mutex mu_;  // devices_
    std::map<std::string, DeviceRecord> devices_;
    std::map<std::string, ClientPunch> clients_;
    std::unique_ptr<UdpRelay> relay_;  // last punch per UID from a peer other than the device
    FILE *log_ = nullptr;
    uint64_t t0_ = 0;
};

// Command-line flags into options; false with the reason in *error.
bool parse_args(int argc, char **argv, Options *o, std::string *error);

}  // namespace qvbed::p2p
