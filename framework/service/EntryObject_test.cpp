// The entry object over the scripted SDK: its synchronous refusals, start and stop with the started flag,
// the gateway it sends, the reachability handler's cases, the factories' exception, the pushes reaching
// the delegate, and the rolling log files.
#include <gtest/gtest.h>
#include <net/if.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "broker/broker_test_util.h"
#include "platform/Clock.h"
#include "platform/NetIf.h"
#include "platform/NotificationCenter.h"
#include "platform/RollingLogFile.h"
#include "service/QVNasClientMacFramework.h"

using namespace fwtest;

namespace {

// A fresh entry object per test (the process's one lives for ever).
class TestFramework final : public QVNasClientMacFramework {
  public:
    TestFramework() { initService(); }
};

struct RecordingDelegate final : QVNasClientMacFrameworkDelegate {
    std::mutex mu;
    QList<QList<QVNasUSBInfoPtr>> usb;
    QList<int32_t> status;
    std::vector<std::thread::id> threads;
    void qvNasClientUSBBackupInfoListChange(const QList<QVNasUSBInfoPtr> &list) override {
        std::lock_guard l(mu);
        usb.append(list);
        threads.push_back(std::this_thread::get_id());
    }
    void qvNasClientUserStatusChangedListen(int32_t s) override {
        std::lock_guard l(mu);
        status.append(s);
        threads.push_back(std::this_thread::get_id());
    }
};

// Spins until the requests sent since `filed` was read have been answered (waiting on the pool would hold
// the answers, which wait for the main thread).
void settle(int filed) {
    ASSERT_TRUE(spinUntil([filed] { return broker().completionCount() <= filed; }));
}

plat::NetIfEntry live(const char *name, const char *broadcast) {
    return {name, IFF_UP | IFF_RUNNING | IFF_BROADCAST, "10.0.0.2", broadcast};
}

class EntryObject : public testing::Test {
  protected:
    void SetUp() override {
        fake = std::make_shared<FakeDeviceSdk>();
        bridge().setDeviceSdk(fake);
        setGateway("192.168.7.255");
        // The host's own reachability backend (if any) must not decide these cases.
        plat::NetworkMonitor::shared().startNotifier();
        monitorBefore = plat::NetworkMonitor::shared().status();
        plat::NetworkMonitor::shared().setStatusForTests(plat::NetworkMonitor::Status::Unknown);
        fw = std::make_unique<TestFramework>();
        fw->setDelegate(&delegate);
    }
    void TearDown() override {
        if (fw->isStartService()) {
            auto a = std::make_shared<Answer>();
            fw->qvSdkStopService(a->completion());
            a->wait();
        }
        plat::WorkPool::global().waitForDone(5000);
        drain();
        fw.reset();
        bridge().setDeviceSdk(nullptr);
        plat::NetIf::setCurrent(nullptr);
        plat::NetworkMonitor::shared().setStatusForTests(monitorBefore);
    }
    void setGateway(std::optional<const char *> broadcast) {
        QList<plat::NetIfEntry> list{{"lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, "127.0.0.1", ""}};
        if (broadcast) list.append(live("eth0", *broadcast));
        plat::NetIf::setCurrent(std::make_shared<plat::FakeNetIf>(list));
    }
    QVNasResponseInfoPtr start() {
        auto a = std::make_shared<Answer>();
        fw->qvSdkStartService(a->completion());
        a->wait();
        return a->get();
    }
    QVNasResponseInfoPtr stop() {
        auto a = std::make_shared<Answer>();
        fw->qvSdkStopService(a->completion());
        a->wait();
        return a->get();
    }
    std::shared_ptr<FakeDeviceSdk> fake;
    RecordingDelegate delegate;
    std::unique_ptr<TestFramework> fw;
    plat::NetworkMonitor::Status monitorBefore = plat::NetworkMonitor::Status::Unknown;
};

// A refusal has run its completion before the method returned, on the caller's thread.
void expectRefusedAtOnce(const std::function<void(QVNasCompletionBlock)> &call, int32_t command,
                         const QString &message) {
    QVNasResponseInfoPtr got;
    std::thread::id on;
    call([&](const QVNasResponseInfoPtr &r) {
        got = r;
        on = std::this_thread::get_id();
    });
    ASSERT_TRUE(got) << "not answered before returning: " << message.toStdString();
    EXPECT_EQ(on, std::this_thread::get_id());
    EXPECT_EQ(got->clientCommand, command);
    EXPECT_EQ(got->responseCode, 110001);
    EXPECT_EQ(got->responseMessage, message);
}

TEST_F(EntryObject, RefusesSynchronouslyWithItsThreeTexts) {
    expectRefusedAtOnce([&](auto d) { fw->qvSdkStopService(d); }, 2,
                        "service is not started, please use first 'qvSdkStartService:'");
    // No network known: refused.
    fw->qvNasMacNetworkChanged(plat::NetworkMonitor::Status::Disconnected);
    ASSERT_EQ(fw->qvNasNetWorkStatus(), 1);
    expectRefusedAtOnce([&](auto d) { fw->qvSdkStartService(d); }, 1,
                        "No network detected. Please connect to network and try again");
    EXPECT_TRUE(fake->startCalls().empty());
    fw->qvNasMacNetworkChanged(plat::NetworkMonitor::Status::Online);
    ASSERT_EQ(start()->responseCode, 0);
    EXPECT_TRUE(fw->isStartService());
    expectRefusedAtOnce([&](auto d) { fw->qvSdkStartService(d); }, 1,
                        "sdk service does not allow repeated start");
    EXPECT_EQ(fake->startCalls().size(), 1u);
}

TEST_F(EntryObject, ASecondStartBeforeTheFirstAnswerIsRefused) {
    auto first = std::make_shared<Answer>();
    fw->qvSdkStartService(first->completion());  // answered on main: not before the loop runs
    expectRefusedAtOnce([&](auto d) { fw->qvSdkStartService(d); }, 1, "sdk service is starting");
    ASSERT_TRUE(first->wait());
    EXPECT_EQ(first->get()->responseCode, 0);
    plat::WorkPool::global().waitForDone(5000);
    EXPECT_EQ(fake->startCalls().size(), 1u);
}

TEST_F(EntryObject, StartBeforeAnyReachabilityReportGoesAheadWithTheGateway) {
    struct Case {
        const char *name;
        std::optional<const char *> broadcast;
        const char *sent;
    };
    const Case cases[] = {{"an interface", "192.168.7.255", "192.168.7.255"},
                          {"none usable", std::nullopt, "127.0.0.1"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        setGateway(c.broadcast);
        ASSERT_EQ(fw->qvNasNetWorkStatus(), 0);
        ASSERT_EQ(start()->responseCode, 0);
        ASSERT_FALSE(fake->startCalls().empty());
        EXPECT_EQ(fake->startCalls().back().gateway, c.sent);
        EXPECT_EQ(fw->nowGatewayIp(), QString(c.sent));
        ASSERT_EQ(stop()->responseCode, 0);
    }
}

TEST_F(EntryObject, StopAnswered0ClearsTheFlagAndAFailedStartCanBeRepeated) {
    fake->scriptStart(false, 10007);
    auto r = start();
    EXPECT_EQ(r->responseCode, 110007);
    EXPECT_FALSE(fw->isStartService());
    EXPECT_THROW(fw->createAccountService(), std::logic_error);
    fake->scriptStart(true, 0);
    ASSERT_EQ(start()->responseCode, 0);
    EXPECT_TRUE(fw->isStartService());
    EXPECT_TRUE(fw->createAccountService());
    // A stop the SDK refuses leaves the service running.
    fake->scriptStop(-1);
    EXPECT_EQ(stop()->responseCode, -1);
    EXPECT_TRUE(fw->isStartService());
    fake->scriptStop(0);
    EXPECT_EQ(stop()->responseCode, 0);
    EXPECT_FALSE(fw->isStartService());
    EXPECT_THROW(fw->createUserServiceByAccessToken("t"), std::logic_error);
    // And a new start is not taken for a repeated one.
    EXPECT_EQ(start()->responseCode, 0);
    EXPECT_EQ(fake->startCalls().size(), 3u);
}

TEST_F(EntryObject, FactoriesBeforeAStartThrowTheExactText) {
    try {
        fw->createDeviceConnectServiceByUserService(nullptr, QStringLiteral("bc"));
        FAIL() << "no exception";
    } catch (const std::logic_error &e) {
        EXPECT_STREQ(e.what(), "service is not started, please use first qvSdkStartService:.");
    }
}

TEST_F(EntryObject, ReachabilityChangesFollowTheirRules) {
    using S = plat::NetworkMonitor::Status;
    struct Case {
        const char *name;
        bool started;
        std::vector<S> before;   // reports handled first (gateway unchanged)
        const char *newGateway;  // the gateway at the report (null: unchanged)
        S report;
        int status;                 // qvNasNetWorkStatus after
        std::optional<int> posted;  // the notification's number, none when nothing is posted
        bool gatewaySent;           // command 5 sent
    };
    const Case cases[] = {
        {"first report after a start, same gateway", true, {}, nullptr, S::Online, 0, std::nullopt, false},
        {"reachable to unreachable, same gateway", true, {S::Online}, nullptr, S::Disconnected, 1, 1, false},
        {"reachable again, same gateway", true, {S::Online}, nullptr, S::Online, 3, std::nullopt, false},
        {"new gateway while started and reachable", true, {}, "10.20.255.255", S::Online, 3, 3, true},
        {"new gateway while unreachable", true, {}, "10.20.255.255", S::Disconnected, 1, 1, false},
        {"new gateway, service not started", false, {}, "10.20.255.255", S::Online, 3, 3, false},
        {"an unknown status reports nothing", true, {}, "10.20.255.255", S::Unknown, 0, std::nullopt, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        setGateway("192.168.7.255");
        // The host's own reachability backend (if any) must not decide these cases.
        monitorBefore = plat::NetworkMonitor::shared().status();
        plat::NetworkMonitor::shared().setStatusForTests(plat::NetworkMonitor::Status::Unknown);
        fw = std::make_unique<TestFramework>();
        fake = std::make_shared<FakeDeviceSdk>();
        bridge().setDeviceSdk(fake);
        if (c.started) {
            ASSERT_EQ(start()->responseCode, 0);
        }
        const int filed = broker().completionCount();
        // "reachable to unreachable" starts from a known status: make it known with another gateway.
        for (S s : c.before) {
            setGateway("172.31.255.255");
            fw->qvNasMacNetworkChanged(s);
            settle(filed);
            setGateway("192.168.7.255");
            fw->qvNasMacNetworkChanged(s);  // back on the gateway the start used
            settle(filed);
        }
        const size_t gatewayCalls = fake->callsOf("ppc_set_Gateway").size();
        if (c.newGateway) setGateway(c.newGateway);
        std::optional<int> posted;
        auto token = plat::NotificationCenter::defaultCenter().addObserver(
            QLatin1String(kNotif_QVNasClientMacFrameworkNetworkStatusChange), nullptr,
            [&](const plat::Notification &n) { posted = n.object.toInt(); });
        fw->qvNasMacNetworkChanged(c.report);
        if (c.gatewaySent) {
            EXPECT_FALSE(posted) << "posted before command 5 answered";
        }
        settle(filed);
        spinUntil([&] { return posted.has_value(); }, c.posted ? 5000 : 50);
        EXPECT_EQ(fw->qvNasNetWorkStatus(), c.status);
        EXPECT_EQ(posted, c.posted);
        EXPECT_EQ(fake->callsOf("ppc_set_Gateway").size() - gatewayCalls, c.gatewaySent ? 1u : 0u);
        if (c.gatewaySent) {
            EXPECT_EQ(fw->nowGatewayIp(), QString(c.newGateway));
        }
        if (fw->isStartService()) {
            ASSERT_EQ(stop()->responseCode, 0);
        }
    }
}

TEST_F(EntryObject, ReportsOfTheMonitorReachTheHandler) {
    auto &monitor = plat::NetworkMonitor::shared();
    const auto before = monitor.status();
    setGateway("10.30.255.255");
    monitor.setStatusForTests(plat::NetworkMonitor::Status::Disconnected);
    EXPECT_EQ(fw->qvNasNetWorkStatus(), 1);
    monitor.setStatusForTests(before);
}

TEST_F(EntryObject, PushesReachTheDelegateOnTheSdksThreads) {
    ASSERT_EQ(start()->responseCode, 0);
    qv_usb_status s{};
    s.status = 0;
    std::strcpy(s.device_name, "USB-Disk");
    s.bytes_all = 100;
    const std::thread::id usbThread = fake->fireUsbStatus({s});
    ASSERT_EQ(answerOf([](auto d) {
                  return broker().qvNasAddUserStatusChangedListenWithServiceUserId("u", d);
              })->responseCode,
              0);
    const std::thread::id statusThread = fake->fireUserStatus("...PasswordChanged...");
    std::lock_guard l(delegate.mu);
    ASSERT_EQ(delegate.usb.size(), 1);
    ASSERT_EQ(delegate.usb[0].size(), 1);
    EXPECT_EQ(delegate.usb[0][0]->dev_name, "USB-Disk");
    EXPECT_EQ(delegate.status, QList<int32_t>{1});
    ASSERT_EQ(delegate.threads.size(), 2u);
    EXPECT_EQ(delegate.threads[0], usbThread);
    EXPECT_EQ(delegate.threads[1], statusThread);
}

TEST_F(EntryObject, TheDelegateIsReplacedWhilePushesRead) {
    ASSERT_EQ(start()->responseCode, 0);
    RecordingDelegate other;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        for (int i = 0; i < 200; ++i) fake->fireUsbStatus({qv_usb_status{}});
        done = true;
    });
    while (!done) {
        fw->setDelegate(&other);
        fw->setDelegate(&delegate);
    }
    pusher.join();
    std::lock_guard a(delegate.mu), b(other.mu);
    EXPECT_EQ(delegate.usb.size() + other.usb.size(), 200);
}

TEST(RollingLogFile, RollsWeeklyAndKeepsTenFilesWithinTenMebibytes) {
    QTemporaryDir dir;
    plat::Clock::setFakeMs(1'700'000'000'000);
    {
        plat::RollingLogFile log(dir.path());
        log.write("first");
        ASSERT_EQ(log.files().size(), 1);
        plat::Clock::advanceFakeMs(604'799'000);
        log.write("still the first file");
        EXPECT_EQ(log.files().size(), 1);
        plat::Clock::advanceFakeMs(1000);
        log.write("a week later");
        EXPECT_EQ(log.files().size(), 2);
        const QString line(1023, QLatin1Char('x'));
        for (int i = 0; i < 13 * 1024; ++i) log.write(line);  // 13 MiB
        const QStringList files = log.files();
        EXPECT_EQ(files.size(), 10);
        qint64 total = 0;
        for (const QString &f : files) total += QFileInfo(f).size();
        EXPECT_LE(total, 10485760);
        EXPECT_GT(total, 9 * 1048576);
        EXPECT_EQ(files.last(), log.currentFile());
    }
    plat::Clock::clearFake();
}

}  // namespace
