// The messaging context against a real mosquitto: certificate file, connect on plain and TLS, refusals,
// TLS verification, reconnects through a cut forwarder, and destroy under load.
#include "messaging/qvmsgs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "base/qv_log.h"
#include "messaging/mqtt_testbed_test.h"
#include "messaging/qvmsgs_conn.h"

using namespace mqtt_tb;

namespace {

std::mutex g_mu;
std::vector<std::string> g_got;  // "tag|topic|services" per callback

void record(const char *tag, const char *topic, const char *services) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_got.push_back(std::string(tag) + "|" + (topic ? topic : "") + "|" + (services ? services : "(null)"));
}
void bc_a(const char *topic, const char *services) {
    record("a", topic, services);
}
void bc_b(const char *topic, const char *services) {
    record("b", topic, services);
}
char *p2p_echo(const char *services) {
    record("p2p", "", services);
    return strdup("done");
}
size_t got_count() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_got.size();
}
std::vector<std::string> got() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_got;
}

class Messaging : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(fs::exists(dir.file("notimeout")));
        ASSERT_TRUE(broker.ready()) << broker.log();
        std::lock_guard<std::mutex> lk(g_mu);
        g_got.clear();
    }
    TempDir dir;
    Broker broker;
};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST(CertFile, WrittenWhenMissingOrDifferentKeptWhenIdentical) {
    TempDir dir;
    const std::string path = dir.file("qv_sert.pem");
    const std::string bundle = qvmsgs_cert_bundle();
    ASSERT_EQ(qvmsgs_create_cert_file(path.c_str()), 0);
    EXPECT_EQ(read_file(path), bundle);

    struct stat before {};
    stat(path.c_str(), &before);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(qvmsgs_create_cert_file(path.c_str()), 0);
    struct stat after {};
    stat(path.c_str(), &after);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec) << "an identical file is not rewritten";
    EXPECT_EQ(before.st_ino, after.st_ino);

    for (const std::string &other : {std::string(bundle.size(), 'x'), std::string("short")}) {
        write_file(path, other);
        ASSERT_EQ(qvmsgs_create_cert_file(path.c_str()), 0);
        EXPECT_EQ(read_file(path), bundle);
    }
    EXPECT_EQ(qvmsgs_create_cert_file(nullptr), -1);
}

TEST(CertFile, UnwritableFolderGivesNoContext) {
    TempDir dir;
    // /proc takes no new files, for root too; a folder without write permission stops other users.
    const std::string folder = geteuid() == 0 ? "/proc" : dir.file("ro");
    if (geteuid() != 0) mkdir(folder.c_str(), 0500);
    EXPECT_EQ(qvmsgs_init("127.0.0.1:1", nullptr, 0, folder.c_str()), nullptr);
    EXPECT_EQ(qvmsgs_init("127.0.0.1:1", nullptr, 0, nullptr), nullptr);
    // An address the connection record cannot hold whole (32 characters) is refused, never cut.
    EXPECT_EQ(qvmsgs_init("ssl://a-rather-long-broker-name.example:61614", nullptr, 0, dir.path().c_str()),
              nullptr);
}

TEST_F(Messaging, ConnectsOnPlainAndTlsAndDelivers) {
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "tls" : "plain");
        const std::string uri = tls ? tls_uri(broker.tls()) : plain_uri(broker.plain());
        // A folder given with and without its trailing slash names the same file.
        qvmsgs_context *ctx = qvmsgs_init(uri.c_str(), nullptr, 0, tls ? "./" : ".");
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(ctx->conn_state, 2);
        EXPECT_EQ(ctx->last_result, 0);
        EXPECT_EQ(read_file(dir.file("qv_sert.pem")), qvmsgs_cert_bundle());
        const std::string topic = std::string("qv_tessera/userStatusChanged/") + (tls ? "t1" : "p1");
        ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, topic.c_str(), bc_a), 0);
        const size_t before = got_count();
        ASSERT_EQ(publish(broker.plain(), topic, R"({"services":"hello"})"), 0);
        EXPECT_TRUE(wait_for([&] { return got_count() > before; }, 10000));
        EXPECT_EQ(got().back(), "a|" + topic + "|hello");
        qvmsgs_destroy(ctx);
    }
}

TEST_F(Messaging, ClientIdsOfTwoContextsDiffer) {
    qvmsgs_context *a = qvmsgs_init(plain_uri(broker.plain()).c_str(), nullptr, 0, ".");
    qvmsgs_context *b = qvmsgs_init(plain_uri(broker.plain()).c_str(), nullptr, 0, ".");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STRNE(a->client_id, b->client_id);
    EXPECT_EQ(std::strncmp(a->client_id, "qv_", 3), 0);
    // Neither took the other's session over: both stay connected.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(a->conn_state, 2);
    EXPECT_EQ(b->conn_state, 2);
    EXPECT_EQ(a->last_result, 0);
    qvmsgs_destroy(a);
    qvmsgs_destroy(b);
}

TEST_F(Messaging, RefusedPortFailsFastAndDestroyDoesNotHang) {
    const auto t0 = Clock::now();
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(free_port()).c_str(), nullptr, 0, ".");
    ASSERT_NE(ctx, nullptr);
    EXPECT_LT(seconds_since(t0), 5.0);
    EXPECT_EQ(ctx->conn_state, 2);
    EXPECT_EQ(ctx->last_result, -1);
    EXPECT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/x", bc_a), -1);
    const auto t1 = Clock::now();
    qvmsgs_destroy(ctx);
    EXPECT_LT(seconds_since(t1), 5.0);
}

TEST(MessagingLogin, WrongPasswordIsNotRetried) {
    TempDir dir;
    Broker::Options o;
    o.devices_password = "another-password";
    Broker broker(o);
    ASSERT_TRUE(broker.ready());
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(broker.plain()).c_str(), nullptr, 0, ".");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->last_result, -1);
    EXPECT_TRUE(ctx->login_refused);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past several back-off steps
    qvmsgs_destroy(ctx);
    const std::string log = broker.log();
    size_t logins = 0;
    for (size_t p = log.find("Sending CONNACK"); p != std::string::npos;
         p = log.find("Sending CONNACK", p + 1))
        ++logins;
    EXPECT_EQ(logins, 1u) << log;
}

struct TlsCase {
    const char *name;
    bool stray_server;      // the server shows a leaf of a CA outside the bundle
    const char *dial_addr;  // the address the client names (a forwarder listens there)
    bool connects;
};

class MessagingTls : public ::testing::TestWithParam<TlsCase> {};

TEST_P(MessagingTls, ServerCertificateAndHostAreVerified) {
    const TlsCase &c = GetParam();
    TempDir dir;
    Broker::Options o;
    if (c.stray_server) {
        o.certfile = cert("stray-server.pem");
        o.keyfile = cert("stray-server.key");
    }
    Broker broker(o);
    ASSERT_TRUE(broker.ready());
    Forwarder fwd(broker.tls(), c.dial_addr);
    qvmsgs_context *ctx = qvmsgs_init(tls_uri(fwd.port(), c.dial_addr).c_str(), nullptr, 1, ".");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->last_result, c.connects ? 0 : -1);
    qvmsgs_destroy(ctx);
}

INSTANTIATE_TEST_SUITE_P(Cases, MessagingTls,
                         ::testing::Values(TlsCase{"chain_and_ip", false, "127.0.0.1", true},
                                           TlsCase{"stray_ca", true, "127.0.0.1", false},
                                           TlsCase{"host_not_named", false, "127.0.0.3", false}),
                         [](const auto &i) { return std::string(i.param.name); });

TEST_F(Messaging, AfterACutListenersAreSubscribedAgainInOrder) {
    Forwarder fwd(broker.plain());
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(fwd.port()).c_str(), nullptr, 0, ".");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(ctx->last_result, 0);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/first", bc_a), 0);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/second", bc_b), 0);
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        fwd.cut();
        ASSERT_TRUE(wait_for([&] { return ctx->connects == round + 1; }, 15000));
        ASSERT_TRUE(wait_for([&] { return ctx->sub_state == 2; }, 5000));
        const size_t before = got_count();
        // The re-subscription may still be under way: publish until the listener hears.
        ASSERT_TRUE(wait_for(
            [&] {
                publish(broker.plain(), "qv_tessera/second", R"({"services":"again"})");
                return wait_for([&] { return got_count() > before; }, 300);
            },
            10000));
        EXPECT_EQ(got().back(), "b|qv_tessera/second|again");
    }
    qvmsgs_destroy(ctx);
    // The broker saw the topics subscribed in list order after every connect.
    const std::string log = broker.log();
    size_t first = 0, order_ok = 0;
    while ((first = log.find("\tqv_tessera/first", first)) != std::string::npos) {
        const size_t second = log.find("\tqv_tessera/second", first);
        if (second != std::string::npos) ++order_ok;
        ++first;
    }
    EXPECT_EQ(order_ok, 3u) << log;
}

TEST_F(Messaging, BrokerDownForTenSecondsThenBack) {
    Forwarder fwd(broker.plain());
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(fwd.port()).c_str(), nullptr, 0, ".");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/status", bc_a), 0);
    fwd.refuse();
    ASSERT_TRUE(wait_for([&] { return ctx->conn_state == 2 && ctx->last_result == -1; }, 10000));
    // A listener added while the broker is away is refused now and subscribed after the next connect.
    EXPECT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/late", bc_b), -1);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    fwd.accept_again();
    const auto back = Clock::now();
    ASSERT_TRUE(wait_for([&] { return ctx->connects == 2; }, 10000));
    EXPECT_LT(seconds_since(back), 5.0);
    ASSERT_TRUE(wait_for(
        [&] {
            publish(broker.plain(), "qv_tessera/late", R"({"services":"late"})");
            return wait_for([&] { return got_count() > 0; }, 300);
        },
        10000));
    EXPECT_EQ(got().front(), "b|qv_tessera/late|late");
    qvmsgs_destroy(ctx);
}

TEST(MessagingFake, RefusedSubscriptionGivesMinusOne) {
    TempDir dir;
    Proc fake({"/usr/bin/python3", QV_TESTBED_DIR "/fake_broker.py", dir.file("port")}, dir.file("fake.log"));
    ASSERT_TRUE(wait_for([&] { return fs::exists(dir.file("port")); }, 10000)) << fake.output();
    const int port = std::stoi(read_file(dir.file("port")));
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(port).c_str(), nullptr, 0, ".");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(ctx->last_result, 0);
    EXPECT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/denied", bc_a), -1);
    // Each subscription waits for its own outcome: a second one is refused as well.
    EXPECT_EQ(qvmsgs_add_p2p_message_listener(ctx, "qvsl/p2p/x@@@y", p2p_echo), -1);
    qvmsgs_destroy(ctx);
}

TEST_F(Messaging, DestroyWhileMessagesArriveAndRepliesAreInFlight) {
    qvmsgs_context *ctx = qvmsgs_init(plain_uri(broker.plain()).c_str(), nullptr, 0, ".");
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(qvmsgs_add_broadcast_listener(ctx, "qv_tessera/flood", bc_a), 0);
    ASSERT_EQ(qvmsgs_add_p2p_message_listener(ctx, "qvsl/p2p/consumerId@@@me", p2p_echo), 0);
    std::string lines;
    for (int i = 0; i < 300; ++i)
        lines += R"({"msgType":"get","fromId":"peer","fromType":2,"msgId":)" + std::to_string(i) +
                 R"(,"msgDate":1,"services":"x"})"
                 "\n";
    write_file(dir.file("reqs"), lines);
    Proc flood(
        {"sh", "-c",
         "for i in $(seq 1 200); do echo '{\"services\":\"x\"}'; done | mosquitto_pub -h 127.0.0.1 -p " +
             std::to_string(broker.plain()) + " -u tester -P tester -q 1 -t qv_tessera/flood -l; " +
             "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.plain()) +
             " -u tester -P tester -q 1 -t qvsl/p2p/consumerId@@@me -l < " + dir.file("reqs")},
        dir.file("flood.log"));
    ASSERT_TRUE(wait_for([&] { return got_count() > 20; }, 10000));
    const auto t0 = Clock::now();
    qvmsgs_destroy(ctx);
    EXPECT_LT(seconds_since(t0), 12.0);
}

}  // namespace
