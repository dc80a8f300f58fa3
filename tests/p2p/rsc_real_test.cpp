// The reliable stream over real sessions: the client (this process, in namespace a) connects on the LAN to
// the device daemon in namespace b, whose stream mode opens channel 0 and echoes; the link between them is
// the link emulator's wire mode (a namespace of its own between two veths), with delay, loss, reordering
// and duplication. Both directions carry the test pattern and the client checks every byte that comes back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lan_topology.h"
#include "linkemu_wire.h"
#include "p2p/psl_byuid.h"
#include "p2p/psl_channels.h"
#include "p2p/psl_connect.h"
#include "p2p/psl_lan.h"
#include "p2p/rsc_api.h"
#include "p2p/rsc_session.h"
#include "stream_pattern.h"

namespace {

using namespace qvtest;
using Clock = std::chrono::steady_clock;

constexpr const char *kUid = "QVTESTRSC00000000001";

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Link {
    uint64_t seed;
    uint32_t lossPpm;
    size_t megabytes;
    double limitSeconds;  // generous: the machine is shared
};

std::string describe(const Link &l) {
    char b[96];
    snprintf(b, sizeof b, "seed %llu, loss %.1f %%, %zu MB each way", (unsigned long long)l.seed,
             l.lossPpm / 10000.0, l.megabytes);
    return b;
}

// 50 ms round trip, reordering 1 %, duplication 0.5 %, and the given loss.
linkemu::Profile profileOf(const Link &l) {
    linkemu::Profile p;
    p.delayUs = 25000;
    p.lossPpm = l.lossPpm;
    p.reorderPpm = 10000;
    p.duplicatePpm = 5000;
    return p;
}

// Moves the calling thread into a named namespace until destroyed; threads it starts meanwhile (the
// library's) are born there and stay.
class InNamespace {
  public:
    explicit InNamespace(const std::string &name) {
        self_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        ok_ = self_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
    }
    ~InNamespace() {
        if (ok_) setns(self_, CLONE_NEWNET);
        if (self_ >= 0) close(self_);
    }
    bool ok() const { return ok_; }

  private:
    int self_ = -1;
    bool ok_ = false;
};

class RscReal : public ::testing::Test {
  protected:
    // "" once the client holds an open stream to the daemon across the emulated link, else why not.
    std::string up(const Link &l, const char *mode = "echo") {
        if (const char *why = getenv("QV_NETNS_SKIP")) return why;
        if (!getenv("QV_NETNS"))
            return "not in a namespace of the test's own (run through scripts/netns-run)";
        std::string why;
        net = linkemu::WireNetns::make(&why);
        if (!net) return why;
        const linkemu::Profile p = profileOf(l);
        wire = net->splice(l.seed, p, p, &why);
        if (!wire) return why;
        std::vector<std::string> argv = {"ip", "netns",    "exec", net->name('b'), QV_P2P_DAEMON, "--uid",
                                         kUid, "--stream", mode};
        if (!daemon.start(argv, 10000)) return "the device daemon did not start";
        inA = std::make_unique<InNamespace>(net->name('a'));
        if (!inA->ok()) return "cannot enter the client's namespace";
        if (PSL_Initialize(0) != 0) return "PSL_Initialize failed";
        pslUp = true;
        if (RSC_Initialize() <= 0) return "RSC_Initialize failed";
        rscUp = true;
        // A lost search answer sends the connect on towards the (unreachable) servers: abort and try again.
        for (int attempt = 0; attempt < 5 && sid < 0; ++attempt) {
            std::atomic<bool> done{false};
            std::thread watchdog([&] {
                for (int i = 0; i < 200 && !done; ++i) usleep(50000);
                if (!done) PSL_Connect_Abort_All();
            });
            sid = PSL_Connect_ByUID(kUid);
            done = true;
            watchdog.join();
        }
        if (sid < 0) return "no LAN session to the daemon: " + std::to_string(sid);
        id = RSC_Create(sid, 30000, 0);
        if (id < 0) return "RSC_Create: " + std::to_string(id);
        return "";
    }
    void TearDown() override {
        if (id >= 0) RSC_Abort(id);
        if (sid >= 0) PSL_Session_Close(sid);
        if (rscUp) RSC_DeInitialize();
        if (pslUp) PSL_DeInitialize();
        inA.reset();
        daemon.reap();
        wire.reset();
        net.reset();
    }

    // Writes `bytes` of the pattern while reading them back; true when every byte came back in order
    // within the limit. Fills *failure otherwise.
    bool echoBothWays(size_t bytes, double limitSeconds, std::string *failure) {
        const auto t0 = Clock::now();
        std::atomic<bool> stop{false};
        std::atomic<int> writeResult{0};
        std::thread writer([&] {
            std::vector<uint8_t> buf(64 * 1024);
            for (size_t off = 0; off < bytes && !stop;) {
                const size_t n = std::min(buf.size(), bytes - off);
                fillPattern(off, buf.data(), n);
                const int r = RSC_Write(id, buf.data(), (int)n);
                if (r != (int)n) {
                    writeResult = r < 0 ? r : -1;
                    return;
                }
                off += n;
            }
            RSC_Flush(id);
        });
        std::vector<uint8_t> buf(256 * 1024);
        size_t got = 0;
        while (got < bytes) {
            if (secondsSince(t0) > limitSeconds) {
                *failure = "only " + std::to_string(got) + " bytes back within " +
                           std::to_string((int)limitSeconds) + " s";
                break;
            }
            const int n = RSC_Read(id, buf.data(), (int)std::min(buf.size(), bytes - got), 500);
            if (n == RSC_ERR_TIMEOUT) continue;
            if (n <= 0) {
                *failure = "RSC_Read: " + std::to_string(n) + " after " + std::to_string(got) + " bytes";
                break;
            }
            const size_t bad = checkPattern(got, buf.data(), (size_t)n);
            if (bad != (size_t)n) {
                *failure = "byte " + std::to_string(got + bad) + " differs";
                break;
            }
            got += (size_t)n;
        }
        stop = true;
        if (got < bytes) {
            RSC_Abort(id);  // releases a writer blocked on a full send list
            id = -1;
        }
        writer.join();
        if (writeResult.load() != 0 && failure->empty())
            *failure = "RSC_Write: " + std::to_string(writeResult.load());
        seconds = secondsSince(t0);
        return got == bytes;
    }

    void report(const Link &l) {
        RSCTestCounters k{};
        if (id >= 0) rsc_Test_Counters(id, &k);
        const linkemu::Counters ab = wire->counters(0), ba = wire->counters(1);
        printf(
            "%s: %.1f s, %.2f MB/s each way; client sent %llu data packets, %llu again (%llu on selective "
            "acknowledgement, %llu on time-out), %llu window reductions; link a>b %s; b>a %s\n",
            describe(l).c_str(), seconds, l.megabytes / seconds, (unsigned long long)k.dataSent,
            (unsigned long long)k.retransmitted, (unsigned long long)k.fastRetransmits,
            (unsigned long long)k.timeouts, (unsigned long long)k.reductions, linkemu::describe(ab).c_str(),
            linkemu::describe(ba).c_str());
        EXPECT_GE(k.retransmitted, ab.lost) << "fewer packets sent again than the link lost";
        // The losses of one loss event reduce the window once.
        EXPECT_LT(k.reductions * 5, k.retransmitted);
    }

    void exchange(const Link &l) {
        const std::string why = up(l);
        if (!why.empty()) GTEST_SKIP() << why;
        std::string failure;
        EXPECT_TRUE(echoBothWays(l.megabytes << 20, l.limitSeconds, &failure))
            << describe(l) << ": " << failure;
        report(l);
    }

    std::unique_ptr<linkemu::WireNetns> net;
    std::unique_ptr<linkemu::Wire> wire;
    Child daemon;
    std::unique_ptr<InNamespace> inA;
    bool pslUp = false, rscUp = false;
    int sid = -1, id = -1;
    double seconds = 0;
};

// The fast representative: one seed at 1 % loss, 4 MB each way.
TEST_F(RscReal, EchoIsByteExactOverALossyLink) {
    exchange({1, 10000, 4, 120});
}

// The destroy's FIN exchange crosses the lossy link too: the daemon sees the end of data and closes.
TEST_F(RscReal, GracefulCloseCompletesOverALossyLink) {
    const Link l{2, 50000, 1, 60};
    const std::string why = up(l);
    if (!why.empty()) GTEST_SKIP() << why;
    std::string failure;
    ASSERT_TRUE(echoBothWays(256 * 1024, l.limitSeconds, &failure)) << failure;
    const auto t0 = Clock::now();
    EXPECT_EQ(RSC_Destroy(id), 0);
    id = -1;
    EXPECT_LT(secondsSince(t0), 30.0);
}

// The long table: seeds 1-3 at 1 % and 5 % loss, 32 MB each way (label "slow"; QV_RSC_REAL_SWEEP=1).
class RscRealSweep : public RscReal, public ::testing::WithParamInterface<Link> {};

TEST_P(RscRealSweep, ThirtyTwoMegabytesEachWay) {
    if (!getenv("QV_RSC_REAL_SWEEP")) GTEST_SKIP() << "long sweep: set QV_RSC_REAL_SWEEP=1 (ctest -L slow)";
    exchange(GetParam());
}

INSTANTIATE_TEST_SUITE_P(SeedsAndLosses, RscRealSweep,
                         ::testing::Values(Link{1, 10000, 32, 900}, Link{2, 10000, 32, 900},
                                           Link{3, 10000, 32, 900}, Link{1, 50000, 32, 1500},
                                           Link{2, 50000, 32, 1500}, Link{3, 50000, 32, 1500}),
                         [](const ::testing::TestParamInfo<Link> &i) {
                             return "seed" + std::to_string(i.param.seed) + "_loss" +
                                    std::to_string(i.param.lossPpm / 10000) + "pct";
                         });

}  // namespace
