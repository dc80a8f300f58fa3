#include "p2p_servers.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qvbed::p2p {
namespace {

using psl::Addr;
using psl::Fields;

const Addr kMaster{{127, 0, 0, 1}, 10240};
const Addr kS1{{127, 0, 0, 2}, 20001};
const Addr kS2{{127, 0, 0, 3}, 20001};
const Addr kFixed{{127, 0, 0, 4}, 80};
constexpr char kUid[] = "QVTEST0000000000001A";

#define NEED_NETNS()                                                                              \
    do {                                                                                          \
        const char *in = std::getenv("QV_NETNS");                                                 \
        if (!in || std::string(in) != "1") {                                                      \
            const char *why = std::getenv("QV_NETNS_SKIP");                                       \
            GTEST_SKIP() << (why ? why : "not started through scripts/netns-run (no namespace)"); \
        }                                                                                         \
    } while (0)

// A UDP peer on its own loopback address that speaks the test-bed codec.
class Peer {
  public:
    explicit Peer(Addr at) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        psl::addr_to(at, sa);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t sl = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &sl);
        addr_ = psl::addr_from(sa);
    }
    ~Peer() { close(fd_); }
    const Addr &addr() const { return addr_; }

    void send_raw(const Addr &to, const psl::Bytes &d) {
        sockaddr_in sa{};
        psl::addr_to(to, sa);
        ASSERT_EQ(sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa),
                  static_cast<ssize_t>(d.size()));
    }
    void send(const Addr &to, const char *msg, const char *form, const Fields &f) {
        std::string err;
        auto d = psl::build(*psl::find_layout(msg, form), f, &err);
        ASSERT_TRUE(d) << err;
        send_raw(to, *d);
    }
    struct Got {
        Addr from;
        psl::Packet packet;
        const psl::Layout *layout = nullptr;
        Fields fields;
    };
    // The next packet within `ms`, read by its layout.
    std::optional<Got> recv(int ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return std::nullopt;
        uint8_t buf[2048];
        sockaddr_in sa{};
        socklen_t sl = sizeof sa;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&sa), &sl);
        if (n < 0) return std::nullopt;
        auto pk = psl::open_datagram({buf, static_cast<size_t>(n)});
        if (!pk) return std::nullopt;
        Got g{psl::addr_from(sa), *pk, psl::classify(*pk), {}};
        if (g.layout) g.fields = *psl::read(*g.layout, *pk);
        return g;
    }

  private:
    int fd_ = -1;
    Addr addr_;
};

int64_t num(const Fields &f, const char *n) {
    return std::get<int64_t>(*psl::find_field(f, n));
}
Addr addr_of(const Fields &f, const char *n) {
    return std::get<Addr>(*psl::find_field(f, n));
}

Fields login(const Addr &local, int64_t nat, int64_t version) {
    return {{"UID", std::string(kUid)},
            {"localAddr", local},
            {"natType", nat},
            {"libraryVersion", version},
            {"observed", std::vector<Addr>(8)},
            {"observedFlags", std::vector<int64_t>(8)},
            {"counter", int64_t{1}},
            {"instance", int64_t{7}},
            {"loginInterval", int64_t{10}},
            {"localListKnown", int64_t{0}},
            {"localListAddr", int64_t{0}},
            {"localListPort", int64_t{0}}};
}

struct Running {
    explicit Running(Options o) : set(std::move(o)) {
        std::string err;
        ok = set.start(&err);
        EXPECT_TRUE(ok) << err;
    }
    ServerSet set;
    bool ok = false;
};

TEST(P2pServers, MasterAnswersGroupOrRefusesAndIgnoresTheRest) {
    NEED_NETNS();
    Options o;
    o.refuseUids = {"QVREFUSED00000000001"};
    Running r(o);
    Peer c({{127, 0, 0, 20}, 0});

    c.send(kMaster, "MSG_QUERY_GROUP", "std", {{"UID", std::string(kUid)}, {"value", int64_t{0}}});
    auto g = c.recv();
    ASSERT_TRUE(g);
    EXPECT_EQ(g->from, kMaster);
    ASSERT_STREQ(g->layout->msg, "MSG_QUERY_GROUP_R");
    EXPECT_EQ(g->packet.payload.size(), 56u + 10 + 4 + 32);
    EXPECT_EQ(addr_of(g->fields, "addr"), c.addr());  // the observed source
    EXPECT_EQ(num(g->fields, "recordCount"), 2);
    EXPECT_EQ(std::get<std::vector<Addr>>(*psl::find_field(g->fields, "servers")),
              (std::vector<Addr>{kS1, kS2}));

    c.send(kMaster, "MSG_QUERY_GROUP", "std",
           {{"UID", std::string("QVREFUSED00000000001")}, {"value", int64_t{0}}});
    g = c.recv();
    ASSERT_TRUE(g);
    EXPECT_STREQ(g->layout->msg, "MSG_UID_REFUSED");
    EXPECT_EQ(std::get<std::string>(*psl::find_field(g->fields, "UID")), "QVREFUSED00000000001");

    // A probe or a login sent to the master is never answered (it would spoil NAT detection).
    c.send(kMaster, "MSG_PROBE_EX", "std",
           {{"counter", int64_t{1}}, {"instance", int64_t{2}}, {"byte", int64_t{0}}});
    c.send(kMaster, "MSG_LOGIN", "std", login({}, 2, 1));
    EXPECT_FALSE(c.recv(300));
}

TEST(P2pServers, EachServerAnswersProbesFromItsOwnAddress) {
    NEED_NETNS();
    Running r(Options{});
    Peer c({{127, 0, 0, 20}, 0});
    for (const Addr &s : {kS1, kS2}) {
        for (const char *m : {"MSG_PROBE", "MSG_PROBE_EX"}) {
            c.send(s, m, "std", {{"counter", int64_t{3}}, {"instance", int64_t{4}}, {"byte", int64_t{0}}});
            auto g = c.recv();
            ASSERT_TRUE(g) << m;
            EXPECT_EQ(g->from, s);
            EXPECT_EQ(std::string(g->layout->msg), std::string(m) + "_R");
            EXPECT_EQ(addr_of(g->fields, "addr"), c.addr());
        }
    }
}

// Logins are recorded and answered with the 36-byte form; device queries then answer per the flags.
TEST(P2pServers, LoginThenDeviceQueries) {
    NEED_NETNS();
    struct Case {
        const char *name;
        std::optional<uint32_t> deviceVersion;
        bool asleep;
        const char *answer;
        int64_t version;
    } cases[] = {
        {"recorded", std::nullopt, false, "MSG_QUERY_DEVICE_R", 0x03010523},
        {"older version", 0x01000000, false, "MSG_QUERY_DEVICE_R", 0x01000000},
        {"asleep", std::nullopt, true, "MSG_DEVICE_ASLEEP", 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Options o;
        o.deviceVersion = k.deviceVersion;
        o.asleep = k.asleep;
        Running r(o);
        Peer dev({{127, 0, 0, 30}, 0}), cli({{127, 0, 0, 20}, 0});
        cli.send(kS2, "MSG_QUERY_DEVICE", "std", {{"UID", std::string(kUid)}});
        if (k.asleep) {
            ASSERT_TRUE(cli.recv());
        } else {
            EXPECT_FALSE(cli.recv(200)) << "an unknown device is not answered";
        }

        const Addr local{{192, 168, 1, 5}, 4000};
        dev.send(kS1, "MSG_LOGIN", "std", login(local, 2, 0x03010523));
        auto g = dev.recv();
        ASSERT_TRUE(g);
        EXPECT_EQ(g->from, kS1);
        EXPECT_STREQ(g->layout->msg, "MSG_LOGIN_R");
        EXPECT_EQ(g->packet.payload.size(), 36u);
        EXPECT_EQ(addr_of(g->fields, "addr"), dev.addr());
        auto rec = r.set.device(kUid);
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->observed, dev.addr());
        EXPECT_EQ(rec->local, local);
        EXPECT_EQ(rec->natType, 2u);

        for (const Addr &s : {kS1, kS2}) {
            cli.send(s, "MSG_QUERY_DEVICE", "std", {{"UID", std::string(kUid)}});
            g = cli.recv();
            ASSERT_TRUE(g);
            EXPECT_EQ(g->from, s);
            EXPECT_STREQ(g->layout->msg, k.answer);
            if (!k.asleep) {
                EXPECT_EQ(num(g->fields, "natType"), 2);
                EXPECT_EQ(num(g->fields, "libraryVersion"), k.version);
                EXPECT_EQ(num(g->fields, "wakeSeconds"), 0);
            }
        }
    }
}

TEST(P2pServers, PunchSendsPeerAddressesToBothSidesInEachForm) {
    NEED_NETNS();
    for (int form : {292, 116, 36}) {
        SCOPED_TRACE(form);
        Options o;
        o.peerForm = form;
        Running r(o);
        Peer dev({{127, 0, 0, 30}, 0}), cli({{127, 0, 0, 20}, 0});
        const Addr devLocal{{192, 168, 1, 5}, 4000}, cliLocal{{192, 168, 2, 6}, 5000};
        dev.send(kS1, "MSG_LOGIN", "std", login(devLocal, 2, 0x03010523));
        ASSERT_TRUE(dev.recv());

        std::vector<Addr> observed(8);
        observed[0] = Addr{{198, 18, 0, 101}, 777};
        cli.send(kS2, "MSG_PUNCH", "punch272",
                 {{"UID", std::string(kUid)},
                  {"localAddrs", std::vector<Addr>{cliLocal, {}, {}, {}}},
                  {"randomID", int64_t{0x11223344}},
                  {"mac", int64_t{0x55667788}},
                  {"natType", int64_t{3}},
                  {"observed", observed},
                  {"observedFlags", std::vector<int64_t>{1, 0, 0, 0, 0, 0, 0, 0}}});
        auto toCli = cli.recv(), toDev = dev.recv();
        ASSERT_TRUE(toCli && toDev);
        EXPECT_EQ(toCli->from, kS2);
        EXPECT_EQ(toDev->from, kS2) << "the device hears from the socket the punch hit";
        EXPECT_EQ(toCli->packet.payload.size(), static_cast<size_t>(form));
        EXPECT_EQ(toDev->packet.payload.size(), static_cast<size_t>(form));
        EXPECT_EQ(addr_of(toCli->fields, "addr"), dev.addr());
        EXPECT_EQ(addr_of(toDev->fields, "addr"), cli.addr());
        if (form >= 116) {
            for (const auto *g : {&*toCli, &*toDev}) {
                EXPECT_EQ(num(g->fields, "randomID"), 0x11223344);
                EXPECT_EQ(num(g->fields, "mac"), 0x55667788);
            }
            EXPECT_EQ(num(toCli->fields, "natType"), 2);
            EXPECT_EQ(num(toDev->fields, "natType"), 3);
            EXPECT_EQ(std::get<std::vector<Addr>>(*psl::find_field(toCli->fields, "localAddrs"))[0],
                      devLocal);
            EXPECT_EQ(std::get<std::vector<Addr>>(*psl::find_field(toDev->fields, "localAddrs"))[0],
                      cliLocal);
        }
        if (form == 292) {
            EXPECT_EQ(std::get<std::vector<Addr>>(*psl::find_field(toDev->fields, "observed"))[0],
                      observed[0]);
        }
    }
}

// Hostile datagrams are dropped and logged; the servers keep answering; --silent answers nothing at all.
TEST(P2pServers, BadInputIsDroppedAndSilentAnswersNothing) {
    NEED_NETNS();
    {
        Running r(Options{});
        Peer c({{127, 0, 0, 20}, 0});
        psl::Bytes truncatedLogin = *psl::build(*psl::find_layout("MSG_LOGIN", "std"), login({}, 2, 1));
        truncatedLogin.resize(100);
        for (const psl::Bytes &bad :
             {psl::Bytes{}, psl::Bytes(15, 0xff), psl::Bytes(1417, 0), psl::Bytes(64, 0xAB),
              psl::Bytes{0xCC, 0xAA, 0xAB, 0xAB}, truncatedLogin})
            c.send_raw(kS1, bad);
        EXPECT_FALSE(c.recv(200));
        EXPECT_FALSE(r.set.device(kUid));
        c.send(kS1, "MSG_PROBE", "std",
               {{"counter", int64_t{1}}, {"instance", int64_t{2}}, {"byte", int64_t{0}}});
        EXPECT_TRUE(c.recv());
    }
    Options o;
    o.silent = true;
    Running r(o);
    Peer c({{127, 0, 0, 20}, 0});
    c.send(kMaster, "MSG_QUERY_GROUP", "std", {{"UID", std::string(kUid)}, {"value", int64_t{0}}});
    c.send(kS1, "MSG_PROBE", "std",
           {{"counter", int64_t{1}}, {"instance", int64_t{2}}, {"byte", int64_t{0}}});
    c.send(kS1, "MSG_LOGIN", "std", login({}, 2, 1));
    EXPECT_FALSE(c.recv(300));
}

// A TCP peer: one connection to a server's stream port, packets written whole, answers reassembled.
class TcpPeer {
  public:
    explicit TcpPeer(Addr to) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        psl::addr_to(to, sa);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        socklen_t sl = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &sl);
        addr_ = psl::addr_from(sa);
    }
    ~TcpPeer() { close(fd_); }
    bool connected() const { return connected_; }
    const Addr &addr() const { return addr_; }
    void send_raw(const psl::Bytes &d) {
        ASSERT_EQ(::send(fd_, d.data(), d.size(), MSG_NOSIGNAL), static_cast<ssize_t>(d.size()));
    }
    void send(const char *msg, const char *form, const Fields &f) {
        std::string err;
        auto d = psl::build(*psl::find_layout(msg, form), f, &err);
        ASSERT_TRUE(d) << err;
        send_raw(*d);
    }
    // The next packet within `ms`; nullopt on time-out or once the server closed the stream (closed() says).
    std::optional<Peer::Got> recv(int ms = 2000) {
        while (pending_.empty()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, ms) != 1) return std::nullopt;
            uint8_t buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            for (psl::Packet &pk : framer_.feed({buf, static_cast<size_t>(n)})) pending_.push_back(pk);
        }
        Peer::Got g{{}, pending_.front(), psl::classify(pending_.front()), {}};
        pending_.erase(pending_.begin());
        if (g.layout) g.fields = *psl::read(*g.layout, g.packet);
        return g;
    }
    bool closed() const { return closed_; }

  private:
    int fd_ = -1;
    bool connected_ = false, closed_ = false;
    Addr addr_;
    psl::StreamFramer framer_;
    std::vector<psl::Packet> pending_;
};

Addr tcp(Addr a) {
    a.port = 21047;
    return a;
}

// Over TCP 21047 the master hands out the group and each server answers device queries (both forms), with the
// stream's source as the observed address; the answers come back on the same connection.
TEST(P2pServers, TcpMasterAndServersAnswerOnTheStream) {
    NEED_NETNS();
    Running r(Options{});
    Peer dev({{127, 0, 0, 30}, 0});
    dev.send(kS1, "MSG_LOGIN", "std", login({}, 2, 0x03010523));
    ASSERT_TRUE(dev.recv());

    TcpPeer m(tcp(kMaster));
    ASSERT_TRUE(m.connected());
    m.send("MSG_QUERY_GROUP", "std", {{"UID", std::string(kUid)}, {"value", int64_t{0}}});
    auto g = m.recv();
    ASSERT_TRUE(g);
    ASSERT_STREQ(g->layout->msg, "MSG_QUERY_GROUP_R");
    EXPECT_EQ(addr_of(g->fields, "addr"), m.addr());
    EXPECT_EQ(std::get<std::vector<Addr>>(*psl::find_field(g->fields, "servers")),
              (std::vector<Addr>{kS1, kS2}));

    for (const Addr &s : {kS1, kS2}) {
        TcpPeer c(tcp(s));
        ASSERT_TRUE(c.connected());
        // Two queries in one write, the second cut across two writes: the framer keeps them apart.
        psl::Bytes q1 =
            *psl::build(*psl::find_layout("MSG_QUERY_DEVICE", "std"), {{"UID", std::string(kUid)}});
        psl::Bytes q2 =
            *psl::build(*psl::find_layout("MSG_QUERY_DEVICE2", "std"), {{"UID", std::string(kUid)}});
        psl::Bytes both = q1;
        both.insert(both.end(), q2.begin(), q2.begin() + 10);
        c.send_raw(both);
        usleep(20000);
        c.send_raw(psl::Bytes(q2.begin() + 10, q2.end()));
        for (const char *want : {"MSG_QUERY_DEVICE_R", "MSG_QUERY_DEVICE2_R"}) {
            g = c.recv();
            ASSERT_TRUE(g) << want;
            EXPECT_STREQ(g->layout->msg, want);
            EXPECT_EQ(num(g->fields, "natType"), 2);
        }
    }
}

// A stream that breaks is closed (and logged); --tcp-off opens no TCP port at all.
TEST(P2pServers, TcpBrokenStreamClosedAndTcpOff) {
    NEED_NETNS();
    {
        Running r(Options{});
        TcpPeer c(tcp(kS1));
        ASSERT_TRUE(c.connected());
        c.send_raw(psl::Bytes(40, 0xAB));  // no magic
        EXPECT_FALSE(c.recv());
        EXPECT_TRUE(c.closed());
        TcpPeer again(tcp(kS1));
        ASSERT_TRUE(again.connected()) << "the listener goes on";
        again.send("MSG_QUERY_GROUP", "std", {{"UID", std::string(kUid)}, {"value", int64_t{0}}});
        EXPECT_FALSE(again.recv(300)) << "a server is not a master";
    }
    Options o;
    o.tcp = false;
    Running r(o);
    for (const Addr &a : {kMaster, kS1, kS2}) EXPECT_FALSE(TcpPeer(tcp(a)).connected());
}

// The program: flags, "ready", the fixed server accepting, a JSON-lines log, a clean exit on SIGTERM.
TEST(P2pServers, ProgramLogsEveryPacketAsJsonLines) {
    NEED_NETNS();
    char dir[] = "/tmp/p2pservers.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string log = std::string(dir) + "/packets.jsonl";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execl(QV_P2P_SERVERS, "p2p-servers", "--refuse-uid", "QVREFUSED00000000001", "--log", log.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char ready[16] = {};
    pollfd p{out[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    ASSERT_GT(read(out[0], ready, sizeof ready - 1), 0);
    EXPECT_STREQ(ready, "ready\n");

    Peer c({{127, 0, 0, 20}, 0});
    c.send(kMaster, "MSG_QUERY_GROUP", "std",
           {{"UID", std::string("QVREFUSED00000000001")}, {"value", int64_t{0}}});
    auto g = c.recv();
    ASSERT_TRUE(g);
    EXPECT_STREQ(g->layout->msg, "MSG_UID_REFUSED");
    c.send_raw(kS1, {0xCC, 0xAA, 0xAB, 0xAB});
    c.send(kS1, "MSG_LOGIN", "std", login({}, 2, 1));
    ASSERT_TRUE(c.recv());
    c.send(kS2, "MSG_SESSION_REPORT2", "client",
           {{"UID", std::string(kUid)},
            {"result", int64_t{-42}},
            {"text", std::string("no \"route\"")},
            {"data", psl::Bytes(7, 1)}});
    c.send(kS2, "MSG_PROBE", "std",
           {{"counter", int64_t{1}}, {"instance", int64_t{2}}, {"byte", int64_t{0}}});
    ASSERT_TRUE(c.recv());  // the report is logged before the fixed server's accept
    int t = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    psl::addr_to(kFixed, sa);
    EXPECT_EQ(connect(t, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    char b;
    EXPECT_EQ(read(t, &b, 1), 0);  // accepted, then closed
    close(t);

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(out[0]);

    std::ifstream in(log);
    std::string line;
    std::vector<std::string> seen;
    while (std::getline(in, line)) {
        json_object *j = json_tokener_parse(line.c_str());
        ASSERT_TRUE(j) << line;
        json_object *v = nullptr;
        std::string s =
            std::string(json_object_object_get_ex(j, "ep", &v) ? json_object_get_string(v) : "") + " ";
        s += json_object_object_get_ex(j, "dir", &v) ? json_object_get_string(v) : "";
        s += " ";
        s += json_object_object_get_ex(j, "msg", &v)     ? json_object_get_string(v)
             : json_object_object_get_ex(j, "event", &v) ? json_object_get_string(v)
                                                         : "";
        if (json_object_object_get_ex(j, "bytes", &v)) s += " " + std::to_string(json_object_get_int(v));
        if (json_object_object_get_ex(j, "result", &v)) {
            s += " " + std::to_string(json_object_get_int(v));
            json_object *t = nullptr, *n = nullptr;
            if (json_object_object_get_ex(j, "text", &t) && json_object_object_get_ex(j, "dataBytes", &n))
                s += std::string(" ") + json_object_get_string(t) + " " +
                     std::to_string(json_object_get_int(n));
        }
        seen.push_back(s);
        json_object_put(j);
    }
    const std::vector<std::string> want = {"M in MSG_QUERY_GROUP 54",
                                           "M out MSG_UID_REFUSED 36",
                                           "S1 in ping 4",
                                           "S1 in MSG_LOGIN 288",
                                           "S1 out MSG_LOGIN_R 52",
                                           "S2 in MSG_SESSION_REPORT2 175 -42 no \"route\" 7",
                                           "S2 in MSG_PROBE 24",
                                           "S2 out MSG_PROBE_R 32",
                                           "F in accept"};
    EXPECT_EQ(seen, want);
    std::remove(log.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace qvbed::p2p
