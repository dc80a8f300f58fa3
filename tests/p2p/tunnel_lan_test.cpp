// The tunnel over real LAN sessions: this process is the client on 192.168.30.2; the device namespace holds
// the test servers, the device daemon in tunnel mode and nginx on port 80 (see lan_topology.h). Local
// ports mapped through the tunnel reach nginx byte-exact; authentication, taken ports, drops and clean
// stops are checked against the real session layer.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "command/download_process.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "command/ppc_sys_file_client.h"
#include "command/qv_net_connect.h"
#include "lan_topology.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"
#include "p2p/psl_device.h"
#include "p2p/psl_session.h"
#include "p2p/tnl_api.h"
#include "p2p/tnl_test_util.h"

namespace fs = std::filesystem;

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTESTTNL00000000001";
const uint8_t kAuth[128] = {9, 8, 7};

int64_t msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string sha256Of(const std::string &path) {
    FILE *p = popen(("sha256sum " + path).c_str(), "r");
    if (!p) return "";
    char buf[128] = {};
    const size_t n = fread(buf, 1, 64, p);
    pclose(p);
    return std::string(buf, n);
}

// nginx's files, made once: a page and a 100 MB file in /dev/shm.
std::string g_www;

struct Drops {
    std::mutex m;
    std::vector<int> codes;
    std::vector<std::string> threads;
    Clock::time_point at;
};
Drops g_drops;

void onDrop(int code, int, void *) {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::lock_guard<std::mutex> l(g_drops.m);
    g_drops.codes.push_back(code);
    g_drops.threads.push_back(name);
    g_drops.at = Clock::now();
}

class TunnelLan : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/dev/shm/qv-tunnel-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        g_www = tmpl;
        chmod(tmpl, 0755);
        fs::create_directories(g_www + "/www");
        const std::vector<uint8_t> page = tnltest::pattern(70000, 3);
        std::ofstream(g_www + "/www/page.html", std::ios::binary)
            .write((const char *)page.data(), page.size());
        std::ofstream big(g_www + "/www/big.bin", std::ios::binary);
        for (int i = 0; i < 100; ++i) {
            const std::vector<uint8_t> mb = tnltest::pattern(1 << 20, 1000 + i);
            big.write((const char *)mb.data(), mb.size());
        }
        // The emulated device's folder: 1,200 entries and the same 100 MB file.
        fs::create_directories(g_www + "/dev/big");
        char name[32];
        for (int i = 0; i < 1200; ++i) {
            snprintf(name, sizeof name, "/f%05d.jpg", i);
            std::ofstream(g_www + "/dev/big" + name) << i;
        }
        fs::create_hard_link(g_www + "/www/big.bin", g_www + "/dev/big.bin");
        // A 16 MB file for the SDK's download through the tunnel in the fast lane: the tunnelled road is
        // slow on a loaded machine (the whole 100 MB runs with QV_TUNNEL_FULL=1, label "slow").
        std::ofstream mid(g_www + "/dev/mid.bin", std::ios::binary);
        for (int i = 0; i < 16; ++i) {
            const std::vector<uint8_t> mb = tnltest::pattern(1 << 20, 2000 + i);
            mid.write((const char *)mb.data(), mb.size());
        }
        std::ofstream(g_www + "/nginx.conf")
            << "user root;\ndaemon off;\nworker_processes 1;\npid " << g_www << "/nginx.pid;\nerror_log "
            << g_www
            << "/error.log;\nevents { worker_connections 256; }\n"
               "http { access_log off; client_body_temp_path "
            << g_www << "/tmp; server { listen 127.0.0.1:80; listen 192.168.30.3:80; root " << g_www
            << "/www; } }\n";
    }
    static void TearDownTestSuite() {
        if (!g_www.empty()) fs::remove_all(g_www);
    }

    void SetUp() override {
        const std::string why = net.up();
        if (!why.empty()) GTEST_SKIP() << why;
        if (system("command -v nginx >/dev/null 2>&1") != 0) GTEST_SKIP() << "nginx is not installed";
        ASSERT_FALSE(g_www.empty()) << "no folder in /dev/shm";
        ASSERT_TRUE(servers.start(net.ns_argv({QV_P2P_SERVERS}), 10000)) << "p2p-servers did not start";
        ASSERT_TRUE(nginx.start(net.ns_argv({"sh", "-c",
                                             "echo up; exec nginx -p " + g_www + " -c " + g_www +
                                                 "/nginx.conf -e " + g_www + "/error.log"}),
                                5000));
        startDaemon(0);
        ASSERT_TRUE(waitHttp()) << "nginx did not answer in the device's namespace";
        PSL_Set_LanSearch_Port(PSL_DEFAULT_LAN_PORT);  // the daemon's; an earlier test may have moved it
        ASSERT_EQ(0, PeerTunnelAgent_Initialize(4));
    }
    void TearDown() override {
        PeerTunnelAgent_DeInitialize();
        daemon.reap();
        nginx.reap();
        servers.reap();
    }
    void startDaemon(int authResult) {
        daemon.reap();
        ASSERT_TRUE(daemon.start(net.ns_argv({QV_P2P_DAEMON, "--uid", kUid, "--tunnel", "1", "--auth-result",
                                              std::to_string(authResult)}),
                                 30000))
            << "daemon did not start: " << daemon.line;
    }
    bool waitHttp() {
        for (int i = 0; i < 50; ++i) {
            if (run(net.in_ns("curl -sf -o /dev/null http://127.0.0.1:80/page.html")) == 0) return true;
            usleep(100000);
        }
        return false;
    }
    // curl through a local port into a file; true when it matches nginx's file by SHA-256.
    bool fetch(int port, const std::string &name, const std::string &out) {
        const std::string cmd =
            "curl -sf --max-time 120 -o " + out + " http://127.0.0.1:" + std::to_string(port) + "/" + name;
        if (run(cmd) != 0) return false;
        const std::string want = sha256Of(g_www + "/www/" + name);
        return !want.empty() && sha256Of(out) == want;
    }

    // One connect, map, transfer, unmap, abort and stop: "" or what failed.
    std::string runCycle(int i) {
        if (PeerTunnelAgent_Initialize(4) != 0) return "initialize";
        const int s = PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, nullptr);
        if (s < 0) {
            PeerTunnelAgent_DeInitialize();
            return "connect " + std::to_string(s);
        }
        const int m = PeerTunnelAgent_PortMapping(s, 8080, 80);
        const bool ok = m >= 0 && fetch(8080, "page.html", g_www + "/cycle-" + std::to_string(i));
        PeerTunnelAgent_StopPortMapping(m);
        PeerTunnelAgent_Abort(s);
        if (PeerTunnelAgent_DeInitialize() != 0) return "deinitialize";
        return ok ? "" : "transfer";
    }

    LanTopology net;
    Child servers, daemon, nginx;
};

// Run twice: the device reachable over TCP (direct-LAN mappings), and with its LAN-test port blocked by the
// device's firewall (tunnelled mappings through the stream).
class TunnelLanModes : public TunnelLan, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        TunnelLan::SetUp();
        if (IsSkipped() || HasFatalFailure() || !GetParam()) return;
        if (system("command -v nft >/dev/null 2>&1") != 0) GTEST_SKIP() << "nft is not installed (nftables)";
        // New TCP connections from the client to the device's ephemeral ports: the LAN-test listener.
        ASSERT_EQ(0, run(net.in_ns("nft add table ip qvtest")));
        ASSERT_EQ(0,
                  run(net.in_ns("nft 'add chain ip qvtest input { type filter hook input priority 0; }'")));
        ASSERT_EQ(0,
                  run(net.in_ns("nft add rule ip qvtest input ip saddr 192.168.30.2 ct state new tcp dport "
                                "32768-60999 drop")));
    }
    bool tunnelled() const { return GetParam(); }
    void expectMapping(int m) {
        if (tunnelled()) {
            EXPECT_GE(m, 0);
            EXPECT_LT(m, 256);
        } else {
            EXPECT_GE(m, TNL_LAN_MAPPING_BASE);
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Lan, TunnelLanModes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "Tunnelled" : "Direct");
                         });

TEST_P(TunnelLanModes, ConnectsOnTheLanAndCarriesNginxByteExact) {
    const auto t0 = Clock::now();
    int err = 12345;
    const int s = PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, &err);
    const int64_t took = msSince(t0);
    ASSERT_GE(s, 0) << s;
    EXPECT_EQ(0, err);
    printf("tunnel connect with authentication took %lld ms\n", (long long)took);
    // A blocked test port costs the TCP test's thousand 1-ms passes on top.
    EXPECT_LT(took, tunnelled() ? 3000 : 1000);
    PSLSessionInfo info{};
    info.size = sizeof info;
    ASSERT_EQ(0, PSL_Session_Check_Ex(s, &info));
    EXPECT_EQ(PSL_MODE_LAN, info.mode);
    const int m1 = PeerTunnelAgent_PortMapping(s, 13111, 13111);
    const int m2 = PeerTunnelAgent_PortMapping(s, 8080, 80);
    expectMapping(m1);
    expectMapping(m2);
    ASSERT_GE(m2, 0);
    EXPECT_TRUE(fetch(8080, "page.html", g_www + "/got-page"));
    const auto t1 = Clock::now();
    EXPECT_TRUE(fetch(8080, "big.bin", g_www + "/got-big"));
    printf("100 MB %s in %lld ms\n", tunnelled() ? "through the tunnel" : "direct on the LAN",
           (long long)msSince(t1));
    fs::remove(g_www + "/got-big");
    // 16 connections at once.
    std::vector<std::future<bool>> many;
    for (int i = 0; i < 16; ++i)
        many.push_back(std::async(std::launch::async, [this, i] {
            return fetch(8080, "page.html", g_www + "/got-page-" + std::to_string(i));
        }));
    for (auto &f : many) EXPECT_TRUE(f.get());
    EXPECT_EQ(0, PeerTunnelAgent_StopPortMapping(m2));
    EXPECT_NE(0, run("curl -sf --max-time 5 -o /dev/null http://127.0.0.1:8080/page.html"));
    EXPECT_EQ(0, PeerTunnelAgent_StopPortMapping(m1));
    EXPECT_EQ(0, PeerTunnelAgent_Abort(s));
}

// The SDK's own calls against the emulated device, through local port 13111 only.
TEST_P(TunnelLanModes, SdkListsAndDownloadsThroughTheMappedPort) {
    Child emu;
    ASSERT_TRUE(emu.start(net.ns_argv({QV_DEVICE_EMU, "--root", g_www + "/dev", "--addr", "0.0.0.0"}), 5000))
        << emu.line;
    const int s = PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, nullptr);
    ASSERT_GE(s, 0);
    const int m = PeerTunnelAgent_PortMapping(s, 13111, 13111);
    expectMapping(m);
    ASSERT_GE(m, 0);
    qv::set_log_enabled(false);
    ASSERT_EQ(0, qv_crypt_init());
    qv_net_connect_install();
    ASSERT_EQ(0, init_connect_pool());
    qv_set_device_port(13111);
    qv_frame_set_current_device("127.0.0.1");
    std::vector<std::string> names;
    path_info folder{"/big", 0, 0};
    for (int offset : {0, 500, 1000}) {
        file_list_page *page = nullptr;
        ASSERT_EQ(0, QV_FileGetList(&folder, offset, 500, 0, &page, 5));
        EXPECT_EQ(1200, page->totalCount);
        for (file_dnode *n = page->list; n; n = n->next) names.emplace_back(n->name);
        ppc_destory_file_list(page->list);
        free(page);
    }
    EXPECT_EQ(1200u, names.size());
    EXPECT_EQ(1200u, std::set<std::string>(names.begin(), names.end()).size());
    fs::create_directories(g_www + "/dl");
    client_file_task *t = client_file_task_new();
    t->token = 5;
    const bool whole = !tunnelled() || getenv("QV_TUNNEL_FULL") != nullptr;
    const std::string name = whole ? "big.bin" : "mid.bin";
    const std::string remote = "/" + name;
    path_info file{remote.c_str(), 1, 0};
    const auto t0 = Clock::now();
    EXPECT_EQ(0, QV_FileDownload((g_www + "/dl").c_str(), &file, t));
    printf("QV_FileDownload of %s %s in %lld ms\n", whole ? "100 MB" : "16 MB",
           tunnelled() ? "through the tunnel" : "direct on the LAN", (long long)msSince(t0));
    client_file_task_free(t);
    EXPECT_EQ(sha256Of(g_www + "/dev/" + name), sha256Of(g_www + "/dl/" + name));
    fs::remove_all(g_www + "/dl");
    destory_connect_pool();
    qv_crypt_release();
    qv_frame_reset();
    qv_set_device_port(0);
    qv::set_log_enabled(true);
    PeerTunnelAgent_StopPortMapping(m);
    PeerTunnelAgent_Abort(s);
}

TEST_F(TunnelLan, RefusedAuthenticationCarriesTheDevicesResult) {
    ASSERT_NO_FATAL_FAILURE(startDaemon(-5));
    int err = 0;
    EXPECT_EQ(TNL_ERR_AUTH_REFUSED, PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, &err));
    EXPECT_EQ(-5, err);
    EXPECT_EQ(TNL_ERR_ARGUMENT, PeerTunnelAgent_Connect(kUid, kAuth, 1001, &err));
    EXPECT_EQ(TNL_ERR_ARGUMENT, PeerTunnelAgent_Connect(kUid, kAuth, -1, &err));
}

TEST_F(TunnelLan, TakenLocalPortIsRefusedAndNothingKept) {
    const int s = PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, nullptr);
    ASSERT_GE(s, 0);
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8080);
    ASSERT_EQ(0, bind(holder, (sockaddr *)&a, sizeof a));
    ASSERT_EQ(0, listen(holder, 1));
    EXPECT_EQ(TNL_ERR_BIND, PeerTunnelAgent_PortMapping(s, 8080, 80));
    close(holder);
    const int m = PeerTunnelAgent_PortMapping(s, 8080, 80);
    EXPECT_EQ(TNL_LAN_MAPPING_BASE, m);  // the first entry was left free
    EXPECT_TRUE(fetch(8080, "page.html", g_www + "/got-page"));
    PeerTunnelAgent_StopPortMapping(m);
    PeerTunnelAgent_Abort(s);
}

TEST_F(TunnelLan, KilledDeviceIsReportedOnceWithinTenSeconds) {
    PSL_Set_Session_Timeout(3);
    {
        std::lock_guard<std::mutex> l(g_drops.m);
        g_drops.codes.clear();
        g_drops.threads.clear();
    }
    PeerTunnelAgent_SetStatusCallback(onDrop, nullptr);
    const int s = PeerTunnelAgent_Connect(kUid, kAuth, sizeof kAuth, nullptr);
    ASSERT_GE(s, 0);
    const auto t0 = Clock::now();
    daemon.kill_now(SIGKILL);
    ASSERT_TRUE(tnltest::waitFor(
        [] {
            std::lock_guard<std::mutex> l(g_drops.m);
            return !g_drops.codes.empty();
        },
        10000));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(g_drops.at - t0).count(), 10000);
    sleep(2);
    std::lock_guard<std::mutex> l(g_drops.m);
    ASSERT_EQ(1u, g_drops.codes.size());
    EXPECT_EQ(TNL_ERR_DROPPED, g_drops.codes[0]);
    EXPECT_EQ("tnl_sessionstat", g_drops.threads[0]);
    PeerTunnelAgent_Abort(s);
    PSL_Set_Session_Timeout(60);
}

TEST_F(TunnelLan, TwentyCyclesLeaveNoThreadsOrDescriptors) {
    const std::vector<std::string> ours = {"tnl_", "psl_", "rsc_send"};
    ASSERT_EQ(0, PeerTunnelAgent_DeInitialize());
    ASSERT_TRUE(tnltest::waitFor([&] { return tnltest::threadsNamed(ours).empty(); }, 3000));
    const int fds = tnltest::openDescriptors();
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE("cycle " + std::to_string(i));
        // Each cycle under its own watchdog: a hang fails the test instead of blocking the run.
        auto done = std::make_shared<std::promise<std::string>>();
        std::future<std::string> cycle = done->get_future();
        std::thread([this, i, done] { done->set_value(runCycle(i)); }).detach();
        ASSERT_EQ(std::future_status::ready, cycle.wait_for(std::chrono::seconds(5))) << "hung";
        EXPECT_EQ("", cycle.get());
    }
    EXPECT_TRUE(tnltest::waitFor([&] { return tnltest::threadsNamed(ours).empty(); }, 3000))
        << tnltest::threadsNamed(ours).size() << " threads left";
    EXPECT_EQ(fds, tnltest::openDescriptors());
    ASSERT_EQ(0, PeerTunnelAgent_Initialize(4));  // for the fixture's stop
}

}  // namespace
