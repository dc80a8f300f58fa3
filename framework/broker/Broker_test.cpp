// The request broker and the bridge core over the scripted SDK: numbering, answers and their threads,
// start and stop, pushed events and reports, and the work pools under load.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <atomic>
#include <climits>
#include <cstring>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "broker/QVNotifications.h"
#include "broker/broker_test_util.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/WorkPool.h"

using namespace fwtest;

namespace {

// A bridge operation that answers at once on its own thread, as the folder listing does.
QVNasPrivateInterfaceProtocol::BridgeOperation answerHere(int result) {
    return [result](QVNasSDKManager &, const QVNasTaskInfoPtr &task) {
        QVariantMap d{{"responseCode", result}, {"DiskClientCommand", task->commandStatus}};
        task->responseInfo = QVNasSDKManagerImplement::qvGetResponseInfoByDict(d);
        broker().qvDiskClientResponse(task);
    };
}

}  // namespace

TEST(FreshProcess, StartListStopAreNumbered10241To10243) {
    if (qEnvironmentVariableIsEmpty("QV_FRESH_PROCESS")) {
        // The numbering belongs to the process: check it in a new one.
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QV_FRESH_PROCESS"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=FreshProcess.StartListStopAreNumbered10241To10243")});
        ASSERT_TRUE(child.waitForFinished(30000));
        EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardOutput().toStdString();
        return;
    }
    auto fake = std::make_shared<FakeDeviceSdk>();
    bridge().setDeviceSdk(fake);
    std::vector<int32_t> seqs;
    const auto start = answerOf([&](auto done) {
        auto r = broker().qvNasStartServiceWithGatewayIp("10.0.0.1", done);
        seqs.push_back(r->clientCommandSeq);
        return r;
    });
    const auto list = answerOf([&](auto done) {
        auto r = broker().qvNasGetFileListWithStartIndex(0, 10, QVNasPathInfo::sharePath("/", 0), 0, done);
        seqs.push_back(r->clientCommandSeq);
        return r;
    });
    const auto stop = answerOf([&](auto done) {
        auto r = broker().qvNasStopServiceWithCompletion(done);
        seqs.push_back(r->clientCommandSeq);
        return r;
    });
    ASSERT_TRUE(start && list && stop);
    EXPECT_EQ(seqs, (std::vector<int32_t>{10241, 10242, 10243}));
    plat::WorkPool::global().waitForDone(5000);
    bridge().setDeviceSdk(nullptr);
}

TEST(Numbering, EightThreadsGetDistinctContiguousNumbersAndOneCompletionEach) {
    constexpr int kThreads = 8, kEach = 10000;
    plat::LogCapture quiet;
    const int32_t before = broker().lastSequenceNumber();
    std::vector<std::atomic<int>> calls(kThreads * kEach + 1);
    std::vector<std::vector<int32_t>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                auto h = broker().submitRequest(
                    900, {}, [&, before](const QVNasResponseInfoPtr &) {}, {},
                    [&, before](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
                        const int idx = task->commandSeq - before;
                        if (idx > 0 && idx < static_cast<int>(calls.size())) calls[idx].fetch_add(1);
                        answerHere(0)(lib, task);
                    });
                got[t].push_back(h->clientCommandSeq);
            }
        });
    }
    for (auto &t : threads) t.join();
    ASSERT_TRUE(plat::WorkPool::global().waitForDone(60000));
    std::set<int32_t> all;
    for (const auto &v : got) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(*all.begin(), before + 1);
    EXPECT_EQ(*all.rbegin(), before + kThreads * kEach);
    for (int i = 1; i <= kThreads * kEach; ++i) ASSERT_EQ(calls[i].load(), 1) << i;
}

TEST(Answer, ASecondAnswerForASequenceNumberCallsNothing) {
    std::atomic<int> calls{0};
    std::promise<QVNasTaskInfoPtr> held;
    auto fut = held.get_future();
    broker().submitRequest(
        901, {}, [&](const QVNasResponseInfoPtr &) { ++calls; }, {},
        [&](QVNasSDKManager &, const QVNasTaskInfoPtr &task) { held.set_value(task); });
    const QVNasTaskInfoPtr task = fut.get();
    task->responseInfo = std::make_shared<QVNasResponseInfo>();
    broker().qvDiskClientResponse(task);
    broker().qvDiskClientResponse(task);
    EXPECT_EQ(calls.load(), 1);
}

class Threads : public ServiceOnFake {};

TEST_F(Threads, WhereEachCommandCompletesByCaller) {
    enum Caller { Main, Pool, Plain };
    enum Where { WorkThreadAnyTime, MainBeforeReturn, MainAfterReturn };
    const struct {
        const char *what;
        int command;
        Caller caller;
        Where where;
    } cases[] = {
        {"61 from main", 61, Main, WorkThreadAnyTime},    {"61 from pool", 61, Pool, WorkThreadAnyTime},
        {"61 from thread", 61, Plain, WorkThreadAnyTime}, {"64 from main", 64, Main, MainBeforeReturn},
        {"64 from pool", 64, Pool, MainBeforeReturn},     {"64 from thread", 64, Plain, MainBeforeReturn},
        {"1 from main", 1, Main, MainAfterReturn},        {"1 from pool", 1, Pool, MainAfterReturn},
        {"1 from thread", 1, Plain, MainAfterReturn},
    };
    for (const auto &c : cases) {
        struct Seen {
            std::atomic<bool> ran{false}, onMain{false}, returned{false}, ranBeforeReturn{false};
            QString thread;
            std::mutex mu;
        };
        auto seen = std::make_shared<Seen>();
        auto completion = [seen](const QVNasResponseInfoPtr &) {
            {
                std::lock_guard<std::mutex> l(seen->mu);
                seen->thread = plat::currentThreadName();
            }
            seen->onMain = plat::isMainThread();
            seen->ran = true;
        };
        auto send = [c, seen, completion] {
            const auto path = QVNasPathInfo::sharePath("/d", 1);
            if (c.command == 61) broker().qvNasGetFileListWithStartIndex(0, 10, path, 0, completion);
            if (c.command == 64) broker().qvNasIsExistedWithPathInfo(path, completion);
            // A start while the service runs is refused: an answer through the main-thread hop.
            if (c.command == 1) broker().qvNasStartServiceWithGatewayIp("10.1.2.3", completion);
            seen->ranBeforeReturn = seen->ran.load();
            seen->returned = true;
        };
        std::thread plain;
        if (c.caller == Main) send();
        if (c.caller == Pool) plat::WorkPool::global().async(send);
        if (c.caller == Plain) plain = std::thread(send);
        if (c.where == MainAfterReturn) {
            // The main thread holds its events back until the method has returned: a completion that ran
            // before the return could only have run elsewhere or inline.
            while (!seen->returned) std::this_thread::yield();
        }
        ASSERT_TRUE(spinUntil([&] { return seen->ran && seen->returned; })) << c.what;
        if (plain.joinable()) plain.join();
        switch (c.where) {
            case WorkThreadAnyTime:
                EXPECT_FALSE(seen->onMain) << c.what;
                EXPECT_EQ(seen->thread, QStringLiteral("qv-work")) << c.what;
                break;
            case MainBeforeReturn:
                EXPECT_TRUE(seen->onMain) << c.what;
                EXPECT_TRUE(seen->ranBeforeReturn) << c.what;
                break;
            case MainAfterReturn:
                EXPECT_TRUE(seen->onMain) << c.what;
                EXPECT_FALSE(seen->ranBeforeReturn) << c.what;
                break;
        }
    }
}

TEST(ServiceStart, TheSdkGetsCachesGatewayAndCallbacks) {
    auto fake = std::make_shared<FakeDeviceSdk>();
    bridge().setDeviceSdk(fake);
    const struct {
        const char *what;
        bool context;
        int error;
        int64_t code;
    } cases[] = {
        {"error never written", true, INT_MIN, 0},
        {"failed step 13", false, 13, 100013},
    };
    for (const auto &c : cases) {
        fake->scriptStart(c.context, c.error);
        const auto r =
            answerOf([](auto done) { return broker().qvNasStartServiceWithGatewayIp("192.168.9.1", done); });
        ASSERT_TRUE(r) << c.what;
        EXPECT_EQ(r->responseCode, c.code) << c.what;
        EXPECT_EQ(r->clientCommand, 1);
        EXPECT_FALSE(r->responseData.isValid());
        EXPECT_EQ(bridge().hasClientContext(), c.context) << c.what;
        const auto call = fake->startCalls().back();
        EXPECT_EQ(QString::fromStdString(call.cacheDir), plat::Paths::cacheLocation());
        EXPECT_EQ(call.gateway, "192.168.9.1");
        EXPECT_TRUE(call.onDeviceAdd && call.onDeviceDel && call.onUsbStatus);
        if (c.context) {
            // A second start while the context is held is refused without reaching the SDK.
            const size_t starts = fake->startCalls().size();
            const auto again =
                answerOf([](auto done) { return broker().qvNasStartServiceWithGatewayIp("x", done); });
            EXPECT_EQ(again->responseCode, -1);
            EXPECT_EQ(fake->startCalls().size(), starts);
            const auto stop =
                answerOf([](auto done) { return broker().qvNasStopServiceWithCompletion(done); });
            EXPECT_EQ(stop->responseCode, 0);
            EXPECT_EQ(stop->clientCommand, 2);
            EXPECT_FALSE(bridge().hasClientContext());
            // After the stop released the context, a second stop answers -1 without calling the SDK.
            const auto stop2 =
                answerOf([](auto done) { return broker().qvNasStopServiceWithCompletion(done); });
            EXPECT_EQ(stop2->responseCode, -1);
            EXPECT_EQ(fake->stopCalls(), 1);
        }
    }
    bridge().setDeviceSdk(nullptr);
}

class Events : public ServiceOnFake {};

TEST_F(Events, SdkCallbacksBecomeTheFourNotifications) {
    auto &nc = plat::NotificationCenter::defaultCenter();
    struct Got {
        std::mutex mu;
        std::vector<std::pair<QString, std::thread::id>> posting;
        std::vector<std::pair<QString, bool>> main;
        QVariant lastObject;
    } got;
    std::vector<plat::ObserverToken> tokens;
    for (const char *name :
         {kNotif_QVAutoPushDeviceAddNotification, kNotif_QVAutoPushDeviceDelNotification,
          kNotif_QVAutoPushUsbBackupInfoListNotification, kNotif_QVAutoPushUserStatusChangeNotification}) {
        tokens.push_back(nc.addObserver(QLatin1String(name), nullptr, [&](const plat::Notification &n) {
            std::lock_guard<std::mutex> l(got.mu);
            got.posting.emplace_back(n.name, std::this_thread::get_id());
            got.lastObject = n.object;
        }));
        tokens.push_back(nc.addObserver(
            QLatin1String(name), nullptr,
            [&](const plat::Notification &n) {
                std::lock_guard<std::mutex> l(got.mu);
                got.main.emplace_back(n.name, plat::isMainThread());
            },
            plat::Delivery::Main));
    }
    auto count = [&] {
        std::lock_guard<std::mutex> l(got.mu);
        return got.main.size();
    };
    qv_dev_detail d{};
    std::strcpy(d.ip, "127.0.0.9");
    std::strcpy(d.mac, "00:11:22:33:44:55");
    const auto addThread = fake->fireDeviceAdd(d);
    ASSERT_TRUE(spinUntil([&] { return count() == 1; }));
    {
        std::lock_guard<std::mutex> l(got.mu);
        EXPECT_EQ(got.posting.back().second, addThread);
        EXPECT_EQ(got.lastObject.value<QVNasDeviceInfoPtr>()->ip, QStringLiteral("127.0.0.9"));
    }
    const auto delThread = fake->fireDeviceDel(d);
    ASSERT_TRUE(spinUntil([&] { return count() == 2; }));
    qv_usb_status s[2]{};
    std::strcpy(s[0].device_name, "usb-a");
    s[0].count_all = 10;
    s[0].bytes_all = 1LL << 40;
    s[1].backup_state = 2;
    const auto usbThread = fake->fireUsbStatus({s[0], s[1]});
    ASSERT_TRUE(spinUntil([&] { return count() == 3; }));
    {
        std::lock_guard<std::mutex> l(got.mu);
        EXPECT_EQ(got.posting.back().second, usbThread);
        const auto list = got.lastObject.value<QList<QVNasUSBInfoPtr>>();
        ASSERT_EQ(list.size(), 2);
        EXPECT_EQ(list[0]->dev_name, QStringLiteral("usb-a"));
        EXPECT_EQ(list[0]->total_cnt_dev, 10);
        EXPECT_EQ(list[0]->total_bytes_dev, 1LL << 40);
        EXPECT_EQ(list[1]->backup_state, 2);
    }
    fake->fireUsbStatus({});
    ASSERT_TRUE(spinUntil([&] { return count() == 4; }));
    {
        std::lock_guard<std::mutex> l(got.mu);
        EXPECT_TRUE(got.lastObject.value<QList<QVNasUSBInfoPtr>>().isEmpty());
    }
    std::thread([] { broker().qvNasUserStatusChangedListen(1); }).join();
    ASSERT_TRUE(spinUntil([&] { return count() == 5; }));
    std::lock_guard<std::mutex> l(got.mu);
    EXPECT_EQ(got.lastObject.toLongLong(), 1);
    EXPECT_EQ(got.posting[1].second, delThread);
    for (const auto &m : got.main) EXPECT_TRUE(m.second) << m.first.toStdString();
    EXPECT_EQ(got.posting.size(), 5u);
}

TEST(Routing, ReportsReachTheirCallbacksOnTheirThreads) {
    // Each row: file what the request would file, fire the report from a plain thread, then check whether
    // the callback ran and on which thread.
    enum Expect { CallingThread, MainThread, Nothing };
    struct Row {
        const char *what;
        std::function<void(int32_t seq, std::function<void()> hit)> file;
        std::function<void(int32_t seq)> fire;
        Expect expect;
    };
    auto req = [](int32_t cmd, int32_t seq) {
        auto r = std::make_shared<QVNasRequestInfo>();
        r->clientCommand = cmd;
        r->clientCommandSeq = seq;
        return r;
    };
    // Files a progress callback under a held (never answered) request and gives back its number.
    auto fileProgress = [](QVNasProgressHandel h) {
        auto r = broker().submitRequest(
            902, {}, [](const QVNasResponseInfoPtr &) {}, std::move(h),
            [](QVNasSDKManager &, const QVNasTaskInfoPtr &) {});
        return r->clientCommandSeq;
    };
    const std::vector<Row> rows = {
        {"transfer progress", [](int32_t, auto) {},
         [&](int32_t seq) { broker().qvDiskTransportRequest(req(80, seq), 1, 5, 10); }, CallingThread},
        {"transfer progress of an unknown request", [](int32_t, auto) {},
         [&](int32_t) { broker().qvDiskTransportRequest(req(80, 1), 1, 5, 10); }, Nothing},
        {"copy or move progress", [](int32_t, auto) {},
         [&](int32_t seq) {
             broker().qvDiskCopyOrMoveWithRequest(req(81, seq), std::make_shared<QVNasOperateProgressInfo>());
         },
         CallingThread},
        {"search batch", [](int32_t, auto) {},
         [&](int32_t seq) { broker().qvDiskDynamicSearchDataWithRequestInfo(req(130, seq), {}, 2); },
         MainThread},
        {"firmware progress by number", [](int32_t, auto) {},
         [&](int32_t seq) { broker().qvDiskOTAUpdateWithRequestInfo(req(154, seq), 50.f); }, CallingThread},
        {"firmware listen, number 0, command 156",
         [](int32_t, std::function<void()> hit) {
             broker().setOtaUpgradeProgressToOtherUserHandel(
                 [hit](const QVNasRequestInfoPtr &, double) { hit(); });
         },
         [&](int32_t) { broker().qvDiskOTAUpdateWithRequestInfo(req(156, 0), 0.5f); }, CallingThread},
        {"firmware report, number 0, other command",
         [](int32_t, std::function<void()> hit) {
             broker().setOtaUpgradeProgressToOtherUserHandel(
                 [hit](const QVNasRequestInfoPtr &, double) { hit(); });
         },
         [&](int32_t) { broker().qvDiskOTAUpdateWithRequestInfo(req(154, 0), 0.5f); }, Nothing},
        {"device execution progress",
         [](int32_t, std::function<void()> hit) {
             broker().setNasRouterDeviceExecHandel([hit](const QVNasExecTaskProgressInfoPtr &p) {
                 if (p->deviceStatus == 3001 && p->currentProgress == 4 && p->totalProgress == 9) hit();
             });
         },
         [&](int32_t) { broker().qvNasRouterDeviceExecListen(0, 3001, 1, 4, 9); }, CallingThread},
        {"device execution without a handler",
         [](int32_t, auto) { broker().setNasRouterDeviceExecHandel({}); },
         [&](int32_t) { broker().qvNasRouterDeviceExecListen(0, 3001, 1, 4, 9); }, Nothing},
        {"QR refresh token",
         [](int32_t, std::function<void()> hit) {
             broker().setQvQrcodeSendRefreshTokenHandel([hit](const QString &t, int64_t e) {
                 if (t == QStringLiteral("rt") && e == 7200) hit();
             });
         },
         [&](int32_t) {
             broker().qvAPPScanQCCodeSendRefreshTokenListener({{"refreshToken", "rt"}, {"exprect", 7200}});
         },
         MainThread},
        {"QR user information",
         [](int32_t, std::function<void()> hit) {
             broker().setQvQrcodeSendUserHandel([hit](const QVNasServiceUserInfoPtr &) { hit(); });
         },
         [&](int32_t) { broker().qvAPPScanQCCodeSendUserListener(std::make_shared<QVNasServiceUserInfo>()); },
         MainThread},
    };
    for (const auto &row : rows) {
        struct Hits {
            std::atomic<int> n{0};
            std::atomic<bool> onMain{false};
            std::thread::id where;
            std::mutex mu;
        };
        auto hits = std::make_shared<Hits>();
        auto hit = [hits] {
            {
                std::lock_guard<std::mutex> l(hits->mu);
                hits->where = std::this_thread::get_id();
            }
            hits->onMain = plat::isMainThread();
            ++hits->n;
        };
        // Progress-table rows file a callback of the kind their report looks up.
        int32_t seq = fileProgress(QVNasTransportProgressBlock(
            [hit](const QVNasRequestInfoPtr &, int32_t, int64_t, int64_t) { hit(); }));
        if (std::string(row.what) == "copy or move progress")
            seq = fileProgress(QVNasCopyMoveProgressBlock(
                [hit](const QVNasRequestInfoPtr &, const QVNasOperateProgressInfoPtr &) { hit(); }));
        if (std::string(row.what) == "search batch")
            seq = fileProgress(QVNasResultBatchBlock(
                [hit](const QVNasRequestInfoPtr &, const QList<QVNasFileInfoPtr> &, int32_t) { hit(); }));
        if (std::string(row.what) == "firmware progress by number")
            seq = fileProgress(
                QVNasFirmwareProgressBlock([hit](const QVNasRequestInfoPtr &, double) { hit(); }));
        row.file(seq, hit);
        std::thread::id firer;
        std::thread t([&] {
            firer = std::this_thread::get_id();
            row.fire(seq);
        });
        t.join();
        if (row.expect == Nothing) {
            drain();
            EXPECT_EQ(hits->n.load(), 0) << row.what;
            continue;
        }
        ASSERT_TRUE(spinUntil([&] { return hits->n.load() > 0; })) << row.what;
        EXPECT_EQ(hits->n.load(), 1) << row.what;
        if (row.expect == MainThread) {
            EXPECT_TRUE(hits->onMain) << row.what;
        }
        if (row.expect == CallingThread) {
            std::lock_guard<std::mutex> l(hits->mu);
            EXPECT_EQ(hits->where, firer) << row.what;
        }
    }
    // The QR handlers are one-shot: a second push reaches nothing.
    std::atomic<int> again{0};
    broker().qvAPPScanQCCodeSendRefreshTokenListener({{"refreshToken", "other"}});
    drain();
    EXPECT_EQ(again.load(), 0);
    broker().setOtaUpgradeProgressToOtherUserHandel({});
}

class Saturation : public ServiceOnFake {};

TEST_F(Saturation, MarkLaneAnswersWhileSixtyFourListingsBlockAndTheSixtyFifthWaits) {
    plat::LogCapture log;
    fake->closeListLatch();
    std::atomic<int> answered{0};
    auto path = QVNasPathInfo::sharePath("/blocked", 0);
    for (int i = 0; i < 64; ++i)
        broker().qvNasGetFileListWithStartIndex(0, 1, path, 0,
                                                [&](const QVNasResponseInfoPtr &) { ++answered; });
    ASSERT_TRUE(fake->waitBlocked(64, 5000));
    QElapsedTimer t;
    t.start();
    std::atomic<bool> markAnswered{false};
    broker().submitRequest(
        131, {}, [&](const QVNasResponseInfoPtr &) { markAnswered = true; }, {}, answerHere(0),
        QVNasPrivateInterfaceProtocol::Lane::Mark);
    ASSERT_TRUE(spinUntil([&] { return markAnswered.load(); }));
    // On the global pool it would wait until a listing is released; on its lane it answers at once
    // (a few ms in a normal build; the bound leaves room for sanitizer builds on a busy machine).
    EXPECT_LT(t.elapsed(), 500);
    auto waitedLines = [&] { return log.lines().filter(QStringLiteral("job on qv-work waited")).size(); };
    const qsizetype waitedBefore = waitedLines();
    broker().qvNasGetFileListWithStartIndex(0, 1, path, 0, [&](const QVNasResponseInfoPtr &) { ++answered; });
    spinUntil([] { return false; }, 1200);  // the 65th waits for a thread
    EXPECT_EQ(fake->blockedListings(), 64);
    EXPECT_EQ(waitedLines(), waitedBefore);
    fake->releaseListings(1);
    ASSERT_TRUE(spinUntil([&] { return waitedLines() > waitedBefore; }));
    fake->openListLatch();
    ASSERT_TRUE(spinUntil([&] { return answered.load() == 65; }));
}

TEST(ProgressTable, IsEmptyAfterAHundredThousandRequests) {
    constexpr int kRequests = 100000;
    plat::LogCapture quiet;
    std::atomic<int> answered{0};
    const int before = broker().progressCount();
    for (int i = 0; i < kRequests; ++i) {
        broker().submitRequest(
            903, {}, [&](const QVNasResponseInfoPtr &) { ++answered; },
            QVNasTransportProgressBlock([](const QVNasRequestInfoPtr &, int32_t, int64_t, int64_t) {}),
            [](QVNasSDKManager &lib, const QVNasTaskInfoPtr &task) {
                broker().qvDiskTransportRequest(
                    QVNasPrivateInterfaceProtocol::createRequestInfoWithTask(task), 1, 1, 2);
                answerHere(0)(lib, task);
            });
    }
    ASSERT_TRUE(spinUntil([&] { return answered.load() == kRequests; }, 60000));
    ASSERT_TRUE(spinUntil([&] { return broker().progressCount() == before; }));
}

class Listing : public ServiceOnFake {};

TEST_F(Listing, PageArgumentsFailuresAndRefusedBuckets) {
    fake->setPage({3, 40, {{"a", 1, 11}, {".cache", 2, 22}, {"b", 3, 33}}});
    bridge().setSrcToken(777);
    const auto ok = answerOf([](auto done) {
        return broker().qvNasGetFileListWithStartIndex(-5, -1, QVNasPathInfo::sharePath("/d", 2), 4, done);
    });
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->responseCode, 0);
    const auto call = fake->listCalls().back();
    EXPECT_EQ(call.start, 0);
    EXPECT_EQ(call.count, 0);
    EXPECT_EQ(call.sortType, 4);
    EXPECT_EQ(call.path, "/d");
    EXPECT_EQ(call.bucketId, 2);
    EXPECT_EQ(call.token, 777);
    const auto page = ok->responseData.value<QVNasFileListInfoPtr>();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->count, 3);
    EXPECT_EQ(page->totalCount, 40);
    ASSERT_EQ(page->fileList.size(), 2);
    EXPECT_EQ(page->fileList[0]->name, QStringLiteral("a"));
    EXPECT_EQ(page->fileList[1]->name, QStringLiteral("b"));
    EXPECT_EQ(page->fileList[1]->size, 3u);
    EXPECT_EQ(page->fileList[1]->date, 33u);

    fake->scriptList(10202);
    const auto failed = answerOf([](auto done) {
        return broker().qvNasGetFileListWithStartIndex(0, 10, QVNasPathInfo::sharePath("/d", 0), 0, done);
    });
    EXPECT_EQ(failed->responseCode, 110202);
    const auto empty = failed->responseData.value<QVNasFileListInfoPtr>();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count, 0);
    EXPECT_EQ(empty->totalCount, 0);
    EXPECT_TRUE(empty->fileList.isEmpty());

    // A bucket id the SDK's record cannot hold is refused before anything is sent.
    const size_t calls = fake->listCalls().size();
    const auto refused = answerOf([](auto done) {
        return broker().qvNasGetFileListWithStartIndex(0, 10, QVNasPathInfo::sharePath("/d", 4294967297LL), 0,
                                                       done);
    });
    EXPECT_EQ(refused->responseCode, -1);
    EXPECT_EQ(fake->listCalls().size(), calls);
    QVNasResponseInfoPtr exists;
    broker().qvNasIsExistedWithPathInfo(QVNasPathInfo::sharePath("/d", 4294967297LL),
                                        [&](const QVNasResponseInfoPtr &r) { exists = r; });
    ASSERT_TRUE(exists);
    EXPECT_EQ(exists->responseCode, -1);
    EXPECT_EQ(fake->existsCalls(), 0);
    bridge().setSrcToken(0);
}
