// The framework's request road against a bare hop. One run prints every round with min/median/max:
//  1. Round trip broker -> bridge -> scripted SDK -> answer on a worker -> handler on main (the folder
//     listing's road), from main and from 8 threads, against a QThreadPool job doing a queued
//     QMetaObject::invokeMethod to main; p50 and p99 of each, alternating the two sides.
//  2. The longest main-thread stall while 64 scripted SDK calls block.
//  3. RSS over 100,000 requests that file progress callbacks.
//  4. Converting a 10,000-entry page into models against the SDK's decode of the same reply.
#include <malloc.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QStandardPaths>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "bridge/FakeDeviceSdk.h"
#include "bridge/QVNasSDKManagerImplement.h"
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "codec/file_list.h"
#include "codec/file_process.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"

namespace {

using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double pct(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void spinUntil(const std::function<bool()> &cond) {
    while (!cond()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}

// One request on the listing's road; the handler on main records the latency.
void brokerTrip(std::vector<double> &out, std::mutex &mu, std::atomic<int> &done) {
    const auto t0 = Clock::now();
    static const auto path = QVNasPathInfo::sharePath(QStringLiteral("/bench"), 0);
    broker().qvNasGetFileListWithStartIndex(0, 1, path, 0, [&, t0](const QVNasResponseInfoPtr &) {
        plat::MainQueue::post([&, t0] {
            std::lock_guard<std::mutex> l(mu);
            out.push_back(usSince(t0));
            ++done;
        });
    });
}

void bareTrip(std::vector<double> &out, std::mutex &mu, std::atomic<int> &done) {
    const auto t0 = Clock::now();
    QThreadPool::globalInstance()->start([&, t0] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&, t0] {
                std::lock_guard<std::mutex> l(mu);
                out.push_back(usSince(t0));
                ++done;
            },
            Qt::QueuedConnection);
    });
}

using Trip = void (*)(std::vector<double> &, std::mutex &, std::atomic<int> &);

// `n` trips, one at a time from main, or from 8 threads each keeping one request in flight.
std::vector<double> runTrips(Trip trip, int n, bool threaded) {
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(n));
    std::mutex mu;
    std::atomic<int> done{0};
    if (!threaded) {
        for (int i = 0; i < n; ++i) {
            trip(lat, mu, done);
            spinUntil([&] { return done.load() == i + 1; });
        }
        return lat;
    }
    std::vector<std::thread> threads;
    const int each = n / 8;
    std::atomic<int> finished{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            // One request in flight per thread: the next goes once this thread's answer reached main.
            std::vector<double> mine;
            std::mutex mineMu;
            std::atomic<int> mineDone{0};
            for (int i = 0; i < each; ++i) {
                trip(mine, mineMu, mineDone);
                while (mineDone.load() != i + 1) std::this_thread::yield();
            }
            std::lock_guard<std::mutex> l(mu);
            lat.insert(lat.end(), mine.begin(), mine.end());
            ++finished;
        });
    }
    spinUntil([&] { return finished.load() == 8; });
    for (auto &t : threads) t.join();
    return lat;
}

void roundTrips(bool threaded) {
    std::printf("\n== round trip %s (microseconds per request)\n", threaded ? "from 8 threads" : "from main");
    std::vector<double> r50, r99;
    for (int round = 0; round < 5; ++round) {
        const auto bare = runTrips(bareTrip, 2000, threaded);
        const auto ours = runTrips(brokerTrip, 2000, threaded);
        const double b50 = pct(bare, 0.5), b99 = pct(bare, 0.99), o50 = pct(ours, 0.5), o99 = pct(ours, 0.99);
        std::printf(
            "run %d: bare hop p50 %.1f p99 %.1f | broker p50 %.1f p99 %.1f | ratio p50 %.2f p99 %.2f\n",
            round + 1, b50, b99, o50, o99, o50 / b50, o99 / b99);
        r50.push_back(o50 / b50);
        r99.push_back(o99 / b99);
    }
    std::sort(r50.begin(), r50.end());
    std::sort(r99.begin(), r99.end());
    std::printf(
        "ratio p50 min %.2f median %.2f max %.2f | ratio p99 min %.2f median %.2f max %.2f (limit 3)\n",
        r50.front(), r50[2], r50.back(), r99.front(), r99[2], r99.back());
}

void mainStall(FakeDeviceSdk &fake) {
    std::printf("\n== longest main-thread stall while 64 SDK calls block (ms)\n");
    std::vector<double> runs;
    for (int round = 0; round < 5; ++round) {
        fake.closeListLatch();
        QElapsedTimer since;
        since.start();
        qint64 last = 0, worst = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            worst = std::max(worst, since.elapsed() - last);
            last = since.elapsed();
        });
        tick.start(1);
        std::atomic<int> answered{0};
        const auto path = QVNasPathInfo::sharePath(QStringLiteral("/bench"), 0);
        for (int i = 0; i < 64; ++i)
            broker().qvNasGetFileListWithStartIndex(0, 1, path, 0,
                                                    [&](const QVNasResponseInfoPtr &) { ++answered; });
        const qint64 until = since.elapsed() + 300;
        spinUntil([&] { return since.elapsed() > until; });
        fake.openListLatch();
        spinUntil([&] { return answered.load() == 64; });
        tick.stop();
        runs.push_back(static_cast<double>(worst));
        std::printf("run %d: longest gap between 1 ms ticks %lld ms (blocked %d)\n", round + 1,
                    static_cast<long long>(worst), 64);
    }
    std::sort(runs.begin(), runs.end());
    std::printf("stall min %.0f median %.0f max %.0f ms (limit 16)\n", runs.front(), runs[2], runs.back());
}

long rssKb() {
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void rssOverRequests() {
    std::printf("\n== RSS over 100,000 requests that file progress callbacks (KiB)\n");
    plat::Log::setEnabled(false);
    std::atomic<int> answered{0};
    long first = 0;
    for (int batch = 1; batch <= 10; ++batch) {
        for (int i = 0; i < 10000; ++i) {
            broker().submitRequest(
                903, {}, [&](const QVNasResponseInfoPtr &) { ++answered; },
                QVNasTransportProgressBlock([](const QVNasRequestInfoPtr &, int32_t, int64_t, int64_t) {}),
                [](QVNasSDKManager &, const QVNasTaskInfoPtr &task) {
                    broker().qvDiskTransportRequest(
                        QVNasPrivateInterfaceProtocol::createRequestInfoWithTask(task), 1, 1, 2);
                    task->responseInfo = std::make_shared<QVNasResponseInfo>();
                    broker().qvDiskClientResponse(task);
                });
        }
        spinUntil([&] { return answered.load() == batch * 10000 && broker().progressCount() == 0; });
        const long rss = rssKb();
        if (batch == 1) first = rss;
        std::printf("after %6d requests: RSS %ld KiB, filed completions %d, filed progress %d\n",
                    batch * 10000, rss, broker().completionCount(), broker().progressCount());
    }
    std::printf("RSS growth from 10,000 to 100,000 requests: %ld KiB\n", rssKb() - first);
    plat::Log::setEnabled(true);
}

std::string listingReply(int entries) {
    std::string s =
        R"({ "header": { "cmd": 101, "token": 1234567890123, "seq": 42, "error": 0 }, "data": { "count": )" +
        std::to_string(entries) + R"(, "totalCount": )" + std::to_string(entries) + R"(, "filelist": [ )";
    char buf[320];
    for (int i = 0; i < entries; ++i) {
        std::snprintf(
            buf, sizeof buf,
            R"(%s{ "name": "IMG_%05d.jpg", "path": "/mnt/sda1/photos/2024/IMG_%05d.jpg", "size": %d, )"
            R"("data": %d, "isFolder": %d, "bucket_id": 1, "isStore": %d, "type": 3 })",
            i ? ", " : "", i, i, 100000 + i * 37, 1700000000 + i, i % 50 == 0, i % 7 == 0);
        s += buf;
    }
    return s + " ] } }";
}

// The SDK's decode of the reply into a page (as bench_listing_decode measures it, the list released).
double sdkDecodeUs(const std::string &text, file_list_info *keep) {
    client_info ci{};
    file_list_info holder{};
    ci.cmd = 101;
    ci.file_list = &holder;
    ci.recv_buf = const_cast<char *>(text.c_str());
    const auto t0 = Clock::now();
    if (file_parse_process(&ci) != 0) std::abort();
    if (keep == nullptr) ppc_destory_file_list(holder.list);
    const double us = usSince(t0);
    if (keep != nullptr) *keep = holder;
    return us;
}

void pageConversion() {
    std::printf(
        "\n== converting a 10,000-entry page into models vs the SDK's decode of the same reply (ms)\n");
    qv::set_log_enabled(false);
    const std::string text = listingReply(10000);
    file_list_info page{};
    sdkDecodeUs(text, &page);
    std::vector<double> ratios;
    for (int round = 0; round < 7; ++round) {
        const double sdk = sdkDecodeUs(text, nullptr);
        const auto t0 = Clock::now();
        const auto info = QVNasSDKManagerImplement::fileListInfoFromPage(&page);
        const double conv = usSince(t0);
        if (info->fileList.size() != 10000) std::abort();
        std::printf("run %d: SDK decode %.2f ms | conversion %.2f ms | ratio %.2f\n", round + 1, sdk / 1000,
                    conv / 1000, conv / sdk);
        ratios.push_back(conv / sdk);
    }
    ppc_destory_file_list(page.list);
    std::sort(ratios.begin(), ratios.end());
    std::printf("ratio min %.2f median %.2f max %.2f (limit 2)\n", ratios.front(), ratios[3], ratios.back());
    qv::set_log_enabled(true);
}

}  // namespace

int main(int argc, char **argv) {
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    plat::Log::setEnabled(false);
    auto fake = std::make_shared<FakeDeviceSdk>();
    QVNasSDKManagerImplement::shareManagerImplement().setDeviceSdk(fake);
    std::atomic<bool> started{false};
    broker().qvNasStartServiceWithGatewayIp(QStringLiteral("127.0.0.1"),
                                            [&](const QVNasResponseInfoPtr &) { started = true; });
    spinUntil([&] { return started.load(); });
    roundTrips(false);
    roundTrips(true);
    mainStall(*fake);
    rssOverRequests();
    pageConversion();
    plat::MainQueue::close();
    plat::WorkPool::global().waitForDone(10000);
    return 0;
}
