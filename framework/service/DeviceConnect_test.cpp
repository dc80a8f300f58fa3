// The device connection service over the scripted SDK (LAN list, discovery, bind code), a scripted cloud and
// the scripted tunnel agent: error types, LAN before tunnel, the tunnel's undo and its events.
#include <gtest/gtest.h>

#include <QThread>
#include <cstring>
#include <deque>

#include "bridge/FakeTunnelAgent.h"
#include "broker/broker_test_util.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "service/QVNasClientMacFramework.h"
#include "service/QVNasDeviceConnectService.h"

using namespace fwtest;

namespace {

// The cloud's device look-ups: scripted answers per endpoint (code, data), answered on the main queue;
// an endpoint can be held until released.
class FakeCloud final : public CloudDeviceApi {
  public:
    struct Reply {
        int64_t code = 0;
        QVariant data;
    };
    std::map<QString, Reply> replies;
    QStringList calls;
    std::map<QString, QVNasDeviceInfoPtr> devices;  // the record each call was given
    std::set<QString> held;
    std::deque<std::function<void()>> waiting;

    void getDeviceInfoByBC(const QString &bc, Completion c) override {
        answer("byBC:" + bc, "byBC", nullptr, c);
    }
    void getDeviceP2PInfo(const QVNasDeviceInfoPtr &d, const QString &, Completion c) override {
        answer("p2p", "p2p", d, c);
    }
    void getDeviceAuthCode(const QVNasDeviceInfoPtr &d, const QString &, Completion c) override {
        answer("auth", "auth", d, c);
    }
    void bindDevice(const QVNasDeviceInfoPtr &d, const QString &, Completion c) override {
        answer("bind:" + d->device_bindCode, "bind", d, c);
    }
    void releaseAll() {
        held.clear();
        while (!waiting.empty()) {
            waiting.front()();
            waiting.pop_front();
        }
    }

  private:
    void answer(const QString &call, const QString &key, const QVNasDeviceInfoPtr &d, Completion c) {
        calls << call;
        devices[key] = d;
        auto r = std::make_shared<QVNasResponseInfo>();
        r->responseCode = replies[key].code;
        r->responseData = replies[key].data;
        auto fire = [r, c] { plat::MainQueue::post([r, c] { c(r); }); };
        if (held.count(key))
            waiting.push_back(fire);
        else
            fire();
    }
};

// What the reachability backend reports, and the entry object's change notice.
class FakeNetworkMonitor {
  public:
    ~FakeNetworkMonitor() {
        plat::NetworkMonitor::shared().setStatusForTests(plat::NetworkMonitor::Status::Unknown);
    }
    void setOnline(bool on) {
        plat::NetworkMonitor::shared().setStatusForTests(on ? plat::NetworkMonitor::Status::Online
                                                            : plat::NetworkMonitor::Status::Disconnected);
    }
    void change() {
        plat::NotificationCenter::defaultCenter().post(
            QLatin1String(kNotif_QVNasClientMacFrameworkNetworkStatusChange));
    }
};

qv_dev_detail lanDetail(const char *uuid, const char *ip) {
    qv_dev_detail d{};
    std::strncpy(d.dev_uuid, uuid, sizeof d.dev_uuid - 1);
    std::strncpy(d.ip, ip, sizeof d.ip - 1);
    return d;
}

QVNasDeviceInfoPtr device(const char *id, bool online, const char *ip = "") {
    auto d = std::make_shared<QVNasDeviceInfo>();
    d->device_id = QString::fromLatin1(id);
    d->online = online;
    d->ip = QString::fromLatin1(ip);
    return d;
}

QVariantMap p2pData(const char *uid) {
    return {{QStringLiteral("dev_id"), QString::fromLatin1(uid)}};
}

class DeviceConnect : public ServiceOnFake {
  public:
    void SetUp() override {
        ServiceOnFake::SetUp();
        cloud = std::make_shared<FakeCloud>();
        agent = std::make_shared<FakeTunnelAgent>();
    }
    void TearDown() override {
        cloud->releaseAll();
        agent->releaseConnect();
        if (service) {
            bool done = false;
            service->qvNasDisconectDevice([&](const QVNasResponseInfoPtr &) { done = true; });
            spinUntil([&] { return done; });
            service.reset();
        }
        // Bridge answers wait for the main thread: keep it turning while the pool empties.
        spinUntil([] { return plat::WorkPool::global().waitForDone(0); });
        drain();
        ServiceOnFake::TearDown();
    }
    // A service whose LAN scan has answered.
    void make(const QVNasDeviceInfoPtr &d, const QString &bc = {}) {
        service = std::make_shared<QVNasDeviceConnectService>(nullptr,
                                                              QVNasDeviceConnectService::Ports{agent, cloud});
        service->setDeviceInfo(d);
        service->setDeviceBc(bc);
        service->qvNasSetDeviceWithListener(
            [this] {
                ++connected;
                EXPECT_TRUE(plat::isMainThread());
            },
            [this](int64_t type, const QString &message) {
                errors << QStringLiteral("%1 %2").arg(type).arg(message);
                EXPECT_TRUE(plat::isMainThread());
            },
            [this] {
                ++disconnected;
                EXPECT_TRUE(plat::isMainThread());
            });
        drain();
    }
    bool waitScan(int n) {
        return spinUntil([&] { return service->localDeviceList().size() == n; });
    }
    void connectAndWait() {
        const int before = connected + static_cast<int>(errors.size());
        service->qvNasConnect();
        ASSERT_TRUE(spinUntil([&] { return connected + errors.size() > before; })) << "no answer";
    }
    bool tunnelClean() const {
        return !agent->initialized() && agent->sessions().empty() && agent->mappedPorts().empty();
    }

    std::shared_ptr<FakeCloud> cloud;
    std::shared_ptr<FakeTunnelAgent> agent;
    std::shared_ptr<QVNasDeviceConnectService> service;
    FakeNetworkMonitor net;
    int connected = 0, disconnected = 0;
    QStringList errors;
};

struct ErrorCase {
    const char *name;
    std::function<void(DeviceConnect &)> arrange;
    QVNasDeviceInfoPtr device;
    const char *bindCode;
    const char *expected;
};

TEST_F(DeviceConnect, EachFailureAnswersItsTypeOnceAndLeavesTheServiceReadyAgain) {
    const ErrorCase cases[] = {
        {"no network", [](DeviceConnect &t) { t.net.setOnline(false); }, device("D1", true), "",
         "1 No Internet"},
        {"no record, no bind code", {}, nullptr, "", "2 deviceInfo and deviceBcCode nil"},
        {"bind code look-up: empty data",
         [](DeviceConnect &t) {
             t.cloud->replies["byBC"] = {0, QVariantMap()};
         },
         nullptr, "BC-9", "3 getDeviceInfoByBC code:0"},
        {"bind code look-up: refused",
         [](DeviceConnect &t) {
             t.cloud->replies["byBC"] = {220011, {}};
         },
         nullptr, "BC-9", "3 getDeviceInfoByBC code:220011"},
        {"no P2P UID",
         [](DeviceConnect &t) {
             t.cloud->replies["p2p"] = {220003, {}};
         },
         device("D1", true), "", "4 getDeviceP2PInfo code:220003"},
        {"offline without address", {}, device("D1", false), "", "5 device offoline"},
        {"offline at the tunnel address", {}, device("D1", false, "127.0.0.1"), "", "5 device offoline"},
        {"tunnel refused",
         [](DeviceConnect &t) {
             t.cloud->replies["p2p"] = {0, p2pData("UID-1")};
             t.agent->script([](auto &s) { s.connectError = -30008; });
         },
         device("D1", true), "", "7 connect fail code:-30008"},
        {"media port taken",
         [](DeviceConnect &t) {
             t.cloud->replies["p2p"] = {0, p2pData("UID-1")};
             t.agent->script([](auto &s) { s.takenPorts = {8080}; });
         },
         device("D1", true), "", "7 connect fail code:0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        cloud = std::make_shared<FakeCloud>();
        agent = std::make_shared<FakeTunnelAgent>();
        errors.clear();
        connected = 0;
        net.setOnline(true);
        if (c.arrange) c.arrange(*this);
        make(c.device, QString::fromLatin1(c.bindCode));
        connectAndWait();
        ASSERT_EQ(errors, QStringList{QString::fromLatin1(c.expected)});
        EXPECT_EQ(connected, 0);
        EXPECT_FALSE(service->isConnected());
        EXPECT_EQ(service->connectType(), 0);
        EXPECT_TRUE(tunnelClean()) << agent->calls().join(", ").toStdString();
        // Not stuck: the next connect runs the same road again.
        connectAndWait();
        EXPECT_EQ(errors.size(), 2);
        service.reset();
        drain();
    }
    net.setOnline(true);
}

TEST_F(DeviceConnect, ALanMatchConnectsLocallyWithoutAskingTheCloud) {
    fake->editOutputs([](auto &o) {
        o.devices = {lanDetail("D1", "10.1.2.7"), lanDetail("D1", "10.1.2.99")};
    });
    make(device("D1", true));
    ASSERT_TRUE(waitScan(2));
    connectAndWait();
    EXPECT_EQ(connected, 1);
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_EQ(service->connectType(), 1);
    EXPECT_EQ(service->deviceInfo()->ip, QStringLiteral("10.1.2.7"));  // the first address for an id wins
    EXPECT_TRUE(cloud->calls.isEmpty());
    EXPECT_TRUE(agent->calls().isEmpty());
    // Connected: a connect only calls the handler again.
    service->qvNasConnect();
    EXPECT_EQ(connected, 2);
}

TEST_F(DeviceConnect, WithoutLanTheTunnelMapsBothPortsAndTheDeviceIsLoopback) {
    cloud->replies["p2p"] = {0, p2pData("UID-TUNNEL-0000000001")};
    agent->script([](auto &s) { s.mode = 1; });
    make(device("D1", true));
    connectAndWait();
    ASSERT_EQ(connected, 1) << errors.join("; ").toStdString();
    EXPECT_EQ(service->connectType(), 2);
    EXPECT_EQ(service->deviceInfo()->ip, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(service->isStartP2P());
    EXPECT_EQ(cloud->calls, QStringList{QStringLiteral("p2p")});
    EXPECT_EQ(agent->calls(),
              (QStringList{"init 4", "connect UID-TUNNEL-0000000001", "map 0 13111 13111", "map 0 8080 80"}));
    EXPECT_EQ(agent->mappedPorts(), (std::set<int>{8080, 13111}));
    EXPECT_EQ(QVNasDeviceConnectService::qvP2PGetTunnelStatus(), 0);
    EXPECT_EQ(QVNasDeviceConnectService::remoteConnectMode(), 1);
    const QByteArray auth = agent->lastAuth();
    ASSERT_EQ(auth.size(), 128);
    EXPECT_EQ(auth.indexOf('\0'), 8);
    EXPECT_EQ(QByteArray(auth.constData() + 64), QByteArray("K7M Lanterns"));

    bool done = false;
    service->qvNasDisconectDevice([&](const QVNasResponseInfoPtr &r) {
        done = true;
        EXPECT_EQ(r->responseCode, 0);
        EXPECT_TRUE(tunnelClean());  // the ports are free when the disconnect answers
    });
    ASSERT_TRUE(spinUntil([&] { return done; }));
    EXPECT_EQ(service->connectType(), 0);
    EXPECT_TRUE(agent->calls().contains("abort 0"));
    EXPECT_TRUE(agent->calls().contains("deinit"));
}

TEST_F(DeviceConnect, ADeviceFoundWhileTheTunnelConnectsWinsAndTheTunnelStops) {
    cloud->replies["p2p"] = {0, p2pData("UID-1")};
    agent->holdConnect();
    make(device("D1", true));
    service->qvNasConnect();
    ASSERT_TRUE(spinUntil([&] { return agent->connectWaiting(); }));
    EXPECT_NE(fake->fireDeviceAdd(lanDetail("D1", "10.1.2.7")), std::this_thread::get_id());
    ASSERT_TRUE(spinUntil([&] { return service->localDeviceList().size() == 1; }));
    EXPECT_EQ(connected, 0);  // not while the tunnel is being made
    agent->releaseConnect();
    ASSERT_TRUE(spinUntil([&] { return connected == 1; }));
    EXPECT_EQ(service->connectType(), 1);
    EXPECT_EQ(service->deviceInfo()->ip, QStringLiteral("10.1.2.7"));
    EXPECT_FALSE(service->isStartP2P());
    ASSERT_TRUE(spinUntil([&] { return tunnelClean(); }));
}

TEST_F(DeviceConnect, AFailedStartLeavesNothingSoARetryWorks) {
    cloud->replies["p2p"] = {0, p2pData("UID-1")};
    agent->script([](auto &s) { s.takenPorts = {8080}; });
    make(device("D1", true));
    connectAndWait();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(QVNasDeviceConnectService::qvP2PGetTunnelStatus(), -30002);
    EXPECT_TRUE(tunnelClean());
    EXPECT_FALSE(service->isStartP2P());
    agent->script([](auto &s) { s.takenPorts.clear(); });
    connectAndWait();
    EXPECT_EQ(connected, 1) << errors.join("; ").toStdString();
    EXPECT_EQ(service->connectType(), 2);
    EXPECT_EQ(agent->mappedPorts(), (std::set<int>{8080, 13111}));
}

TEST_F(DeviceConnect, ANetworkChangeEmptiesTheListRescansAndTheNextConnectDisconnectsFirst) {
    fake->editOutputs([](auto &o) { o.devices = {lanDetail("D1", "10.1.2.7")}; });
    make(device("D1", true));
    ASSERT_TRUE(waitScan(1));
    connectAndWait();
    service->getDeviceUserService();  // logged in, as the session does after connecting
    const size_t scans = fake->callsOf("ppc_get_dev_detail_list").size();
    fake->editOutputs([](auto &o) { o.devices = {lanDetail("D1", "10.1.2.8")}; });
    net.change();
    ASSERT_TRUE(spinUntil([&] { return disconnected == 1; }));
    EXPECT_FALSE(service->isConnected());
    EXPECT_EQ(service->connectType(), 1);  // not torn down yet
    ASSERT_TRUE(spinUntil([&] { return fake->callsOf("ppc_get_dev_detail_list").size() > scans; }));
    ASSERT_TRUE(waitScan(1));
    service->qvNasConnect();
    ASSERT_TRUE(spinUntil([&] { return connected == 2; }));
    EXPECT_EQ(service->deviceInfo()->ip, QStringLiteral("10.1.2.8"));
    EXPECT_TRUE(service->isConnected());
}

TEST_F(DeviceConnect, OnlyADropOfOurSessionDisconnectsAndNotWhileTheDeviceReboots) {
    cloud->replies["p2p"] = {0, p2pData("UID-1")};
    make(device("D1", true));
    connectAndWait();
    ASSERT_EQ(service->connectType(), 2);
    const int ours = service->p2pGSID();
    agent->fireStatus(-30006, ours + 1);  // another session
    agent->fireStatus(-30005, ours);      // another event
    service->setIsHaveRebootDevice(true);
    agent->fireStatus(-30006, ours);
    drain();
    QThread::msleep(50);
    drain();
    EXPECT_EQ(disconnected, 0);
    EXPECT_EQ(service->connectType(), 2);
    service->setIsHaveRebootDevice(false);
    agent->fireStatus(-30006, ours);
    ASSERT_TRUE(spinUntil([&] { return disconnected == 1; }));
    EXPECT_EQ(service->connectType(), 0);
    ASSERT_TRUE(spinUntil([&] { return tunnelClean(); }));
}

TEST_F(DeviceConnect, ADisconnectAbandonsARunningAttempt) {
    cloud->replies["p2p"] = {0, p2pData("UID-1")};
    cloud->held = {"p2p"};
    make(device("D1", true));
    service->qvNasConnect();
    ASSERT_TRUE(spinUntil([&] { return cloud->calls.size() == 1; }));
    bool done = false;
    service->qvNasDisconectDevice([&](const QVNasResponseInfoPtr &) { done = true; });
    ASSERT_TRUE(spinUntil([&] { return done; }));
    service->qvNasConnect();  // acts again
    ASSERT_TRUE(spinUntil([&] { return cloud->calls.size() == 2; }));
    cloud->releaseAll();  // the first answer is dropped, the second connects once
    ASSERT_TRUE(spinUntil([&] { return connected == 1; }));
    QThread::msleep(50);
    drain();
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(agent->calls().count("init 4"), 1);
}

TEST_F(DeviceConnect, BindAsksTheDeviceForItsCodeThenTheCloud) {
    fake->editOutputs([](auto &o) { o.bindCode = "BC-77"; });
    make(device("D1", true, "10.1.2.7"));
    auto other = device("D2", true);
    const auto r = answerOf([&](QVNasCompletionBlock done) {
        service->qvNasBindDevice(other, done);
        return QVNasRequestInfoPtr();
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->responseCode, 0);
    EXPECT_EQ(other->ip, QStringLiteral("10.1.2.7"));
    EXPECT_EQ(cloud->calls, QStringList{QStringLiteral("bind:BC-77")});

    fake->script("ppc_get_BindCode", 2);
    const auto refused = answerOf([&](QVNasCompletionBlock done) {
        service->qvNasBindDevice(device("D3", true, "10.1.2.9"), done);
        return QVNasRequestInfoPtr();
    });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->responseCode, 100002);
    EXPECT_EQ(cloud->calls.size(), 1);
}

}  // namespace
