// End to end in a network namespace of the process's own (ctest runs it through scripts/netns-run, since LAN
// discovery binds fixed ports): the entry object starts the real runtime, discovery finds two emulated
// devices, and the session and device-information requests reach them through the broker and the bridge.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSet>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "base/qv_log.h"
#include "broker/QVNotifications.h"
#include "broker/broker_test_util.h"
#include "device.h"
#include "discovery.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_push.h"
#include "messaging/mqtt_testbed_test.h"
#include "model/QVKeyChain.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"
#include "push_test_util.h"
#include "runtime/ppc_service.h"
#include "service/QVNasClientMacFramework.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace fwtest;
using namespace fwe2e;

namespace {

// What each descriptor points at ("socket:[N]", a path), for a failure message.
std::string descriptors() {
    std::string out;
    for (const auto &e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        out += e.path().filename().string() + "->" + fs::read_symlink(e.path(), ec).string() + " ";
    }
    return out;
}

int entries(const char *folder) {
    return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// Descriptors other than the event loops' eventfds (those come and go with threads, counted apart).
int openDescriptors() {
    int n = 0;
    for (const auto &e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec).string() != "anon_inode:[eventfd]") ++n;
    }
    return n;
}

TEST(SessionEndToEnd, DiscoverLoginRegisterReadLogoutStop) {
    if (const auto why = whyNoNamespace()) GTEST_SKIP() << *why;
    const std::string root = testing::TempDir() + "fw_session_" + std::to_string(getpid());
    fs::create_directories(root + "/docs");
    std::ofstream(root + "/docs/a.txt") << "a";
    qv::set_log_enabled(qEnvironmentVariableIsSet("QV_TEST_LOG"));
    plat::LogCapture log;
    ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging
    plat::SecretStore::setShared(std::make_shared<plat::FileSecretStore>());

    EmulatedDevice d2 = emulate(root, "127.0.0.2", "BIND-0002"), d3 = emulate(root, "127.0.0.3", "BIND-0003");
    ASSERT_TRUE(d2.dev->start()) << d2.dev->last_error();
    ASSERT_TRUE(d3.dev->start()) << d3.dev->last_error();
    emu::DiscoveryLan lan("127.0.0.1");  // only lo is up: the entry object searches on 127.0.0.1
    lan.add({.ip = "127.0.0.2", .name = "Study", .device_id = "DEV-2", .p2p_uuid = "P2P-2"});
    lan.add({.ip = "127.0.0.3", .name = "书房", .device_id = "DEV-3", .p2p_uuid = "P2P-3"});
    ASSERT_TRUE(lan.start());

    std::mutex mu;
    QSet<QString> added;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        QLatin1String(kNotif_QVAutoPushDeviceAddNotification), nullptr, [&](const plat::Notification &n) {
            std::lock_guard l(mu);
            added.insert(n.object.value<QVNasDeviceInfoPtr>()->ip);
        });
    bridge().setDeviceSdk(nullptr);  // the real SDK
    TestFramework fw;
    // A namespace with only lo counts as no network to a reachability backend; the devices are on it.
    auto &monitor = plat::NetworkMonitor::shared();
    const auto monitorBefore = monitor.status();
    monitor.setStatusForTests(plat::NetworkMonitor::Status::Local);
    {
        auto a = std::make_shared<Answer>();
        fw.qvSdkStartService(a->completion());
        ASSERT_TRUE(a->wait(15000));
        ASSERT_EQ(a->get()->responseCode, 0) << a->get()->responseMessage.toStdString();
    }
    EXPECT_EQ(fw.nowGatewayIp(), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(spinUntil(
        [&] {
            std::lock_guard l(mu);
            return added.size() == 2;
        },
        15000));

    auto &b = broker();
    const auto list = ask([&](auto d) { return b.qvNasGetDeviceInfoListWithCompletion(d); });
    ASSERT_TRUE(list);
    EXPECT_EQ(list->responseCode, 0);
    auto devices = list->responseData.value<QList<QVNasDeviceInfoPtr>>();
    ASSERT_EQ(devices.size(), 2);
    std::sort(devices.begin(), devices.end(), [](const auto &x, const auto &y) { return x->ip < y->ip; });
    EXPECT_EQ(devices[0]->dev_name, "Study");
    EXPECT_EQ(devices[0]->device_id, "DEV-2");
    EXPECT_EQ(devices[0]->device_p2p_uuid, "P2P-2");
    EXPECT_EQ(devices[1]->ip, "127.0.0.3");
    EXPECT_EQ(devices[1]->dev_name, "书房");

    // Failed logins first: each leaves the session as it was.
    EXPECT_EQ(ask([&](auto d) {
                  return b.qvNasLoginDeviceWithAuthCode("wrong-code", "127.0.0.2", d);
              })->responseCode,
              110016);
    EXPECT_EQ(
        ask([&](auto d) { return b.qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.9", d); })->responseCode,
        116001);
    const auto login = ask([&](auto d) { return b.qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", d); });
    ASSERT_EQ(login->responseCode, 0);
    const qlonglong sessionToken = login->responseData.toLongLong();
    EXPECT_NE(sessionToken, 0);

    EXPECT_EQ(ask([&](auto d) { return b.qvNasRegisterDeviceWithCompletion(d); })->responseCode, 0);
    const std::optional<QString> uuid = QVKeyChainDataManager::readUUID();
    ASSERT_TRUE(uuid);
    const auto registered = d2.users->get().registrations;
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].second, uuid->toStdString());

    EXPECT_TRUE(b.qvNasGetModuleSupportFlag(3));   // shareModule, status 1
    EXPECT_FALSE(b.qvNasGetModuleSupportFlag(2));  // McuModule, status 0

    const auto status = ask([&](auto d) { return b.qvNasGetDeviceStatus("127.0.0.2", d); });
    EXPECT_EQ(status->responseCode, 0);
    ASSERT_TRUE(status->responseData.value<QVNasDeviceStatusInfoPtr>());
    const auto version = ask([&](auto d) { return b.qvNasGetDeviceVersionWithCompletion(d); });
    EXPECT_EQ(version->responseCode, 0);
    EXPECT_EQ(version->responseData.toString(), "FW-1.0.0");
    const QString nick = QString(20, QChar(0x4E66));  // 60 bytes of UTF-8
    EXPECT_EQ(ask([&](auto d) { return b.qvNasSetDeviceNickNameWithName(nick, d); })->responseCode, 0);
    const auto name = ask([&](auto d) { return b.qvNasGetDeviceNickNameWithCompletion(d); });
    EXPECT_EQ(name->responseCode, 0);
    EXPECT_EQ(name->responseData.toString(), nick);
    const auto space = ask([&](auto d) { return b.qvNasGetUserSpaceWithCompletion(d); });
    EXPECT_EQ(space->responseCode, 0);
    EXPECT_TRUE(space->responseData.value<QVNasDeviceUserSpaceInfoPtr>());
    const auto info = ask([&](auto d) { return b.qvNasGetDeviceInfoWithCompletion(d); });
    EXPECT_EQ(info->responseCode, 0);
    ASSERT_TRUE(info->responseData.value<QVNasDeviceAdvancedInfoPtr>());
    EXPECT_EQ(info->responseData.value<QVNasDeviceAdvancedInfoPtr>()->device_model, "QV-NAS");
    const auto users = ask([&](auto d) { return b.qvNasGetUserListWithCompletion(d); });
    EXPECT_EQ(users->responseCode, 0);
    ASSERT_TRUE(users->responseData.value<QVNasDeviceUserListInfoPtr>());
    const auto p2p = ask([&](auto d) { return b.qvNasGetP2PClientInfoWithCompletion(d); });
    EXPECT_EQ(p2p->responseCode, 0);
    ASSERT_TRUE(p2p->responseData.value<QVNasPeerTunnelSessionInfoPtr>());
    EXPECT_EQ(p2p->responseData.value<QVNasPeerTunnelSessionInfoPtr>()->nNatType, 3);
    EXPECT_EQ(p2p->responseData.value<QVNasPeerTunnelSessionInfoPtr>()->szRemoteIP, "127.0.0.1");
    // The bind code of the device nobody logged in to.
    const auto bind = ask([&](auto d) { return b.qvNasGetDeviceBindCodeByIP("127.0.0.3", d); });
    EXPECT_EQ(bind->responseCode, 0);
    EXPECT_EQ(bind->responseData.toString(), "BIND-0003");
    EXPECT_EQ(d3.sent(10), 1u);

    // A device operation with nothing to do answers 0 without a report.
    std::atomic<int> reports{0};
    EXPECT_EQ(ask([&](auto d) {
                  return b.qvNasRouterDeviceExec(
                      "127.0.0.2", 0, [&](const auto &) { ++reports; }, d);
              })->responseCode,
              0);
    EXPECT_EQ(reports.load(), 0);

    EXPECT_EQ(ask([&](auto d) { return b.qvNasLogoutDeviceWithCompletion(d); })->responseCode, 0);
    {
        auto a = std::make_shared<Answer>();
        fw.qvSdkStopService(a->completion());
        ASSERT_TRUE(a->wait(15000));
        EXPECT_EQ(a->get()->responseCode, 0);
    }
    EXPECT_FALSE(fw.isStartService());

    // Nothing secret in the framework's lines.
    for (const QString &line : log.lines()) {
        EXPECT_FALSE(line.contains(QString::number(sessionToken))) << line.toStdString();
        EXPECT_FALSE(line.contains(QLatin1String(kAuth))) << line.toStdString();
    }
    token.reset();
    monitor.setStatusForTests(monitorBefore);
    lan.stop();
    finish({d2.dev.get(), d3.dev.get()}, root);
}

// The application's side of the pushes: what reached the entry object's delegate, and on which thread.
class RecordingDelegate final : public QVNasClientMacFrameworkDelegate {
  public:
    void qvNasClientUSBBackupInfoListChange(const QList<QVNasUSBInfoPtr> &list) override {
        std::lock_guard l(mu);
        usb.append(list);
    }
    void qvNasClientUserStatusChangedListen(int32_t status) override {
        std::lock_guard l(mu);
        statuses.push_back(status);
    }
    int count(int32_t status) {
        std::lock_guard l(mu);
        return static_cast<int>(std::count(statuses.begin(), statuses.end(), status));
    }
    QList<QVNasUSBInfoPtr> usbSeen() {
        std::lock_guard l(mu);
        return usb;
    }

  private:
    std::mutex mu;
    QList<QVNasUSBInfoPtr> usb;
    std::vector<int32_t> statuses;
};

std::string userStatusMessage(const char *status) {
    return std::string(R"({"services": "{\"userStatus\":\")") + status + R"(\"}"})";
}

// With mosquitto as the service's broker: a USB status the device pushes on the session's reverse push
// reaches the entry object's delegate; the account-status listen (157) turns a published "PasswordChanged"
// into status 1 and its cancel (158) silences the topic; two device operations (173) overlapping report
// each to its own handler before their answers. The SDK's lines, the framework's and the rolling log files
// hold no session token, auth code or broker password.
TEST(SessionEndToEnd, PushesThroughTheRuntimeAndMosquittoReachTheDelegate) {
    if (const auto why = whyNoNamespace()) GTEST_SKIP() << *why;
    const std::string root = testing::TempDir() + "fw_push_" + std::to_string(getpid());
    fs::create_directories(root);
    mqtt_tb::Broker mosquitto;
    ASSERT_TRUE(mosquitto.ready()) << mosquitto.log();
    SdkLogCapture sdkLog;
    plat::LogCapture log;
    ppc_set_broker_address(mqtt_tb::plain_uri(mosquitto.plain()).c_str());
    plat::SecretStore::setShared(std::make_shared<plat::InMemorySecretStore>());
    EmulatedDevice d2 = emulate(root, "127.0.0.2", "BIND-0002"), d3 = emulate(root, "127.0.0.3", "BIND-0003");
    ASSERT_TRUE(d2.dev->start()) << d2.dev->last_error();
    ASSERT_TRUE(d3.dev->start()) << d3.dev->last_error();
    emu::DiscoveryLan lan("127.0.0.1");
    lan.add({.ip = "127.0.0.2", .name = "Study", .device_id = "DEV-2", .p2p_uuid = "P2P-2"});
    ASSERT_TRUE(lan.start());
    bridge().setDeviceSdk(nullptr);
    TestFramework fw;
    RecordingDelegate delegate;
    fw.setDelegate(&delegate);
    auto &monitor = plat::NetworkMonitor::shared();
    const auto monitorBefore = monitor.status();
    monitor.setStatusForTests(plat::NetworkMonitor::Status::Local);
    auto call = [&](auto method) {
        auto a = std::make_shared<Answer>();
        (fw.*method)(a->completion());
        EXPECT_TRUE(a->wait(15000));
        return a->get() ? a->get()->responseCode : -999;
    };
    auto &b = broker();
    ASSERT_EQ(call(&QVNasClientMacFramework::qvSdkStartService), 0);
    const auto login = ask([&](auto d) { return b.qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", d); });
    ASSERT_EQ(login->responseCode, 0);
    const int64_t token = login->responseData.toLongLong();

    // The device pushes a USB backup state on the session's reverse push.
    d2.push->push(token, qvemu::PushStep::chunk(1, push_test::usb("stick-7", 3)));
    ASSERT_TRUE(spinUntil([&] { return !delegate.usbSeen().isEmpty(); }, 20000));
    {
        const auto usb = delegate.usbSeen();
        ASSERT_EQ(usb.size(), 1);
        EXPECT_EQ(usb[0]->dev_uuid, "stick-7");
        EXPECT_EQ(usb[0]->already_cnt_dev, 3);
        EXPECT_EQ(usb[0]->total_cnt_dev, 10);
        EXPECT_EQ(usb[0]->backup_state, 1);
    }

    // Account status: "PasswordChanged" anywhere in the message is 1, anything else 0. A single
    // connection delivers in order, so a message that arrived tells that every earlier one has.
    const std::string topic1234 = "qv_tessera/userStatusChanged/1234";
    ASSERT_EQ(ask([&](auto d) {
                  return b.qvNasAddUserStatusChangedListenWithServiceUserId("1234", d);
              })->responseCode,
              0);
    for (int i = 0; i < 20 && delegate.count(1) == 0; ++i) {
        ASSERT_EQ(mqtt_tb::publish(mosquitto.plain(), topic1234, userStatusMessage("PasswordChanged")), 0);
        spinUntil([&] { return delegate.count(1) > 0; }, 1000);
    }
    ASSERT_GT(delegate.count(1), 0);
    ASSERT_EQ(mqtt_tb::publish(mosquitto.plain(), topic1234, userStatusMessage("NickChanged")), 0);
    ASSERT_TRUE(spinUntil([&] { return delegate.count(0) == 1; }, 15000));
    const int ones = delegate.count(1);
    EXPECT_EQ(ask([&](auto d) { return b.qvNasExitUserStatusChangedListenWithCompletion(d); })->responseCode,
              0);
    ASSERT_EQ(mqtt_tb::publish(mosquitto.plain(), topic1234, userStatusMessage("PasswordChanged")), 0);
    // Another user's topic afterwards: once its message is in, the silenced one would have come first.
    ASSERT_EQ(ask([&](auto d) {
                  return b.qvNasAddUserStatusChangedListenWithServiceUserId("5678", d);
              })->responseCode,
              0);
    ASSERT_EQ(mqtt_tb::publish(mosquitto.plain(), "qv_tessera/userStatusChanged/5678",
                               userStatusMessage("NickChanged")),
              0);
    ASSERT_TRUE(spinUntil([&] { return delegate.count(0) == 2; }, 15000));
    EXPECT_EQ(delegate.count(1), ones);
    EXPECT_EQ(ask([&](auto d) { return b.qvNasExitUserStatusChangedListenWithCompletion(d); })->responseCode,
              0);

    // Two device operations at once (the replies held back so that they overlap): the second request
    // replaces the stored handler, yet each operation's reports reach the handler given with it, all
    // before its answer.
    struct Op {
        std::mutex mu;
        std::vector<std::string> events;  // "progress <status> <done>/<total>" and "answer <code>"
        void add(std::string e) {
            std::lock_guard l(mu);
            events.push_back(std::move(e));
        }
        std::vector<std::string> get() {
            std::lock_guard l(mu);
            return events;
        }
    };
    qvemu::Faults slow;
    slow.reply_delay_ms = 400;
    d2.dev->set_faults(slow);
    d3.dev->set_faults(slow);
    Op first, second;
    auto exec = [&](const char *ip, int64_t op, Op &rec) {
        b.qvNasRouterDeviceExec(
            ip, op,
            [&rec, op](const QVNasExecTaskProgressInfoPtr &p) {
                rec.add("progress " + std::to_string(p->deviceStatus == op) + " " +
                        std::to_string(p->taskStatus) + " " + std::to_string(p->currentProgress) + "/" +
                        std::to_string(p->totalProgress));
            },
            [&rec](const QVNasResponseInfoPtr &r) { rec.add("answer " + std::to_string(r->responseCode)); });
    };
    exec("127.0.0.2", 3, first);
    exec("127.0.0.3", 4, second);
    ASSERT_TRUE(spinUntil([&] { return first.get().size() == 5 && second.get().size() == 5; }, 20000))
        << first.get().size() << " " << second.get().size();
    const std::vector<std::string> expected = {"progress 1 1 10/100", "progress 1 1 50/100",
                                               "progress 1 1 100/100", "progress 1 2 100/100", "answer 0"};
    EXPECT_EQ(first.get(), expected);
    EXPECT_EQ(second.get(), expected);
    d2.dev->set_faults({});
    d3.dev->set_faults({});

    EXPECT_EQ(ask([&](auto d) { return b.qvNasLogoutDeviceWithCompletion(d); })->responseCode, 0);
    EXPECT_EQ(call(&QVNasClientMacFramework::qvSdkStopService), 0);
    EXPECT_FALSE(fw.isStartService());

    // Nothing secret in any log: the SDK's lines, the framework's, the rolling files.
    const std::vector<std::string> secrets = {std::to_string(token), kAuth, QVMSGS_PASSWORD};
    std::vector<std::string> all = sdkLog.lines();
    for (const QString &line : log.lines()) all.push_back(line.toStdString());
    for (const auto &e : fs::directory_iterator(QVNasClientMacFramework::logFolder().toStdString()))
        all.push_back(mqtt_tb::read_file(e.path().string()));
    EXPECT_GT(sdkLog.lines().size(), 10u);
    for (const auto &text : all)
        for (const auto &secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << text;

    fw.setDelegate(nullptr);
    monitor.setStatusForTests(monitorBefore);
    lan.stop();
    finish({d2.dev.get(), d3.dev.get()}, root);
}

// A start that cannot bind the discovery port fails and leaves no started state; twenty sessions afterwards
// leave the process's threads and descriptors where they were.
TEST(SessionEndToEnd, ATakenDiscoveryPortFailsTheStartAndCyclesLeaveNothingBehind) {
    if (const auto why = whyNoNamespace()) GTEST_SKIP() << *why;
    const std::string root = testing::TempDir() + "fw_cycles_" + std::to_string(getpid());
    fs::create_directories(root);
    qv::set_log_enabled(qEnvironmentVariableIsSet("QV_TEST_LOG"));
    plat::LogCapture quiet;
    ppc_set_broker_address("127.0.0.1:1");
    plat::SecretStore::setShared(std::make_shared<plat::InMemorySecretStore>());
    EmulatedDevice d2 = emulate(root, "127.0.0.2", "BIND-0002");
    ASSERT_TRUE(d2.dev->start()) << d2.dev->last_error();
    emu::DiscoveryLan lan("127.0.0.1");
    lan.add({.ip = "127.0.0.2", .name = "Study", .device_id = "DEV-2", .p2p_uuid = "P2P-2"});
    ASSERT_TRUE(lan.start());
    bridge().setDeviceSdk(nullptr);
    TestFramework fw;
    auto &monitor = plat::NetworkMonitor::shared();
    const auto monitorBefore = monitor.status();
    monitor.setStatusForTests(plat::NetworkMonitor::Status::Local);
    auto call = [&](auto method) {
        auto a = std::make_shared<Answer>();
        (fw.*method)(a->completion());
        EXPECT_TRUE(a->wait(15000));
        return a->get() ? a->get()->responseCode : -999;
    };

    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(27213);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    EXPECT_NE(call(&QVNasClientMacFramework::qvSdkStartService), 0);
    EXPECT_FALSE(fw.isStartService());
    ::close(blocker);

    auto cycle = [&] {
        ASSERT_EQ(call(&QVNasClientMacFramework::qvSdkStartService), 0);
        ASSERT_EQ(ask([&](auto d) {
                      return broker().qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", d);
                  })->responseCode,
                  0);
        ASSERT_EQ(ask([&](auto d) { return broker().qvNasLogoutDeviceWithCompletion(d); })->responseCode, 0);
        ASSERT_EQ(call(&QVNasClientMacFramework::qvSdkStopService), 0);
        ASSERT_FALSE(fw.isStartService());
    };
    ASSERT_NO_FATAL_FAILURE(cycle());  // the first one makes what lives on (pool threads, log file)
    const int threads = entries("/proc/self/task"), fds = openDescriptors();
    const std::string fdsBefore = descriptors();
    // Module-flag queries from another thread all along (the login replaces the list, the stop frees it).
    std::atomic<bool> cycling{true};
    std::atomic<int> queries{0};
    std::thread asker([&] {
        while (cycling.load()) {
            broker().qvNasGetModuleSupportFlag(3);
            ++queries;
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // each query logs a line
        }
    });
    for (int i = 0; i < 20; ++i) ASSERT_NO_FATAL_FAILURE(cycle()) << "cycle " << i;
    cycling = false;
    asker.join();
    EXPECT_GT(queries.load(), 0);
    // The emulator's connection threads end once the client has closed: wait for them.
    EXPECT_TRUE(spinUntil([&] { return openDescriptors() <= fds; }, 10000))
        << openDescriptors() << " descriptors, " << fds << " before\nbefore: " << fdsBefore
        << "\nafter: " << descriptors();
    EXPECT_TRUE(spinUntil([&] { return entries("/proc/self/task") <= threads + 2; }, 10000))
        << entries("/proc/self/task") << " threads, " << threads << " before";

    monitor.setStatusForTests(monitorBefore);
    lan.stop();
    d2.dev->stop();
    bridge().setSrcToken(0);
    plat::SecretStore::setShared(nullptr);
    ppc_set_broker_address(nullptr);
    qv::set_log_enabled(true);
    fs::remove_all(root);
}

}  // namespace
