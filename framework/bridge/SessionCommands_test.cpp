// The session and device-information requests end to end over the scripted SDK: one table of request x SDK
// outcome -> answer code, data and thread; the synchronous module flag; the account-status callback; the
// device operation's progress routing; and where the client uuid is read.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <atomic>
#include <cstring>
#include <thread>

#include "broker/QVNotifications.h"
#include "broker/broker_test_util.h"
#include "model/QVClientSDKTools.h"
#include "model/QVKeyChain.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/SecretStore.h"

using namespace fwtest;

namespace {

template <size_t N>
void put(char (&field)[N], const char *text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}

qv_dev_detail device(const char *ip, const char *name, const char *id, const char *p2p) {
    qv_dev_detail d{};
    put(d.ip, ip);
    put(d.device_name, name);
    put(d.dev_uuid, id);
    put(d.p2p_uuid, p2p);
    put(d.mac, "AA:BB:CC:DD:EE:FF");
    put(d.type_name, "T2");
    return d;
}

using Send = std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)>;
using Script = std::function<void(FakeDeviceSdk &)>;
using Check = std::function<void(const QVNasResponseInfo &)>;

struct Row {
    const char *name;
    Script script;
    Send send;
    int32_t command;
    int64_t code;
    Check check;                       // the answer's data
    const char *sdkFunction;           // the SDK call expected on a worker thread; null: none at all
    std::vector<std::string> sdkArgs;  // its first arguments, when given
};

template <typename T>
std::shared_ptr<T> dataAs(const QVNasResponseInfo &r) {
    return r.responseData.value<std::shared_ptr<T>>();
}

void noData(const QVNasResponseInfo &r) {
    EXPECT_FALSE(r.responseData.isValid()) << "unexpected data";
}

Script outputs(std::function<void(FakeDeviceSdk::Outputs &)> edit) {
    return [edit](FakeDeviceSdk &f) { f.editOutputs(edit); };
}
Script result(const char *fn, int r) {
    return [fn, r](FakeDeviceSdk &f) { f.script(fn, r); };
}
class SessionCommands : public ServiceOnFake {
  protected:
    void SetUp() override {
        plat::SecretStore::setShared(store);
        ServiceOnFake::SetUp();
    }
    void TearDown() override {
        ServiceOnFake::TearDown();
        plat::SecretStore::setShared(nullptr);
        bridge().setSrcToken(0);
    }
    std::shared_ptr<plat::InMemorySecretStore> store = std::make_shared<plat::InMemorySecretStore>();
};

TEST_F(SessionCommands, EachRequestAnswersItsCodeAndDataOnMain) {
    auto &b = broker();
    const std::string token = "4242";
    const QString uuidRe = "^[0-9A-F]{32}$";
    const QByteArray longName = QByteArray(62, 'n') + "\xc3\xa9\xc3\xa9";  // 66 bytes, cut inside a character
    const Row rows[] = {
        {"3 no device",
         {},
         [&](auto d) { return b.qvNasGetDeviceInfoListWithCompletion(d); },
         3,
         100001,
         [](const QVNasResponseInfo &r) {
             EXPECT_TRUE(r.responseData.value<QList<QVNasDeviceInfoPtr>>().isEmpty());
         },
         "ppc_get_dev_detail_list",
         {}},
        {"3 two devices",
         outputs([](auto &o) {
             o.devices = {device("127.0.0.2", "客厅", "dev-2", "P2P-2"),
                          device("127.0.0.3", "Office", "dev-3", "P2P-3")};
         }),
         [&](auto d) { return b.qvNasGetDeviceInfoListWithCompletion(d); },
         3,
         0,
         [](const QVNasResponseInfo &r) {
             const auto list = r.responseData.value<QList<QVNasDeviceInfoPtr>>();
             ASSERT_EQ(list.size(), 2);
             EXPECT_EQ(list[0]->ip, "127.0.0.2");
             EXPECT_EQ(list[0]->dev_name, "客厅");
             EXPECT_EQ(list[0]->device_id, "dev-2");
             EXPECT_EQ(list[1]->device_p2p_uuid, "P2P-3");
         },
         "ppc_get_dev_detail_list",
         {}},
        {"5 gateway",
         {},
         [&](auto d) { return b.qvNasDynamicSetGatewayWithGatewayIp("10.9.255.255", d); },
         5,
         0,
         noData,
         "ppc_set_Gateway",
         {"10.9.255.255"}},
        {"5 gateway refused",
         result("ppc_set_Gateway", -1),
         [&](auto d) { return b.qvNasDynamicSetGatewayWithGatewayIp("10.9.255.255", d); },
         5,
         -1,
         noData,
         "ppc_set_Gateway",
         {}},
        {"11 registered",
         {},
         [&](auto d) { return b.qvNasRegisterDeviceWithCompletion(d); },
         11,
         0,
         noData,
         "ppc_device_register",
         {}},
        {"11 refused",
         result("ppc_device_register", 1),
         [&](auto d) { return b.qvNasRegisterDeviceWithCompletion(d); },
         11,
         -1,
         noData,
         "ppc_device_register",
         {}},
        {"13 login",
         outputs([](auto &o) { o.loginToken = 0x1234567890LL; }),
         [&](auto d) { return b.qvNasLoginDeviceWithAuthCode("AUTH-1", "127.0.0.2", d); },
         13,
         0,
         [](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toLongLong(), 0x1234567890LL); },
         "ppc_login_by_authcode",
         {"AUTH-1", "127.0.0.2"}},
        {"13 refused login keeps the old token",
         result("ppc_login_by_authcode", 16001),
         [&](auto d) { return b.qvNasLoginDeviceWithAuthCode("bad", "127.0.0.2", d); },
         13,
         116001,
         [](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toLongLong(), 4242); },
         "ppc_login_by_authcode",
         {"bad", "127.0.0.2", "4242"}},
        {"14 logout",
         {},
         [&](auto d) { return b.qvNasLogoutDeviceWithCompletion(d); },
         14,
         0,
         noData,
         "ppc_logout",
         {token}},
        {"15 bind code",
         outputs([](auto &o) { o.bindCode = "BC-0001"; }),
         [&](auto d) { return b.qvNasGetDeviceBindCodeByIP("127.0.0.3", d); },
         15,
         0,
         [](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toString(), "BC-0001"); },
         "ppc_get_BindCode",
         {"127.0.0.3"}},
        {"15 reply without a bind code",
         {},
         [&](auto d) { return b.qvNasGetDeviceBindCodeByIP("127.0.0.3", d); },
         15,
         0,
         [](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toString(), ""); },
         "ppc_get_BindCode",
         {}},
        {"15 without an address",
         outputs([](auto &o) { o.bindCode = "BC"; }),
         [&](auto d) { return b.qvNasGetDeviceBindCodeByIP(QString(), d); },
         15,
         -1,
         [](const QVNasResponseInfo &r) {
             EXPECT_TRUE(r.responseData.isValid());
             EXPECT_EQ(r.responseData.toString(), "");
         },
         "ppc_get_BindCode",
         {""}},
        {"18 version",
         outputs([](auto &o) { o.version = "V2.3.1_20261201"; }),
         [&](auto d) { return b.qvNasGetDeviceVersionWithCompletion(d); },
         18,
         0,
         [](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toString(), "V2.3.1_20261201"); },
         "ppc_RouterGetFWVersion",
         {token}},
        {"18 failed still has a text",
         result("ppc_RouterGetFWVersion", -1),
         [&](auto d) { return b.qvNasGetDeviceVersionWithCompletion(d); },
         18,
         -1,
         [](const QVNasResponseInfo &r) {
             EXPECT_TRUE(r.responseData.isValid());
             EXPECT_EQ(r.responseData.toString(), "");
         },
         "ppc_RouterGetFWVersion",
         {}},
        {"18 a full 32-byte version",
         outputs([](auto &o) { o.version = std::string(40, 'v'); }),
         [&](auto d) { return b.qvNasGetDeviceVersionWithCompletion(d); },
         18,
         0,
         [](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toString(), QString(32, 'v')); },
         "ppc_RouterGetFWVersion",
         {}},
        {"20 syncing",
         outputs([](auto &o) {
             o.status.status = 3003;
             o.status.dataSyncTime = 1700000000123LL;
         }),
         [&](auto d) { return b.qvNasGetDeviceStatus("127.0.0.2", d); },
         20,
         0,
         [](const QVNasResponseInfo &r) {
             const auto s = dataAs<QVNasDeviceStatusInfo>(r);
             ASSERT_TRUE(s);
             EXPECT_EQ(s->deviceStatus, 3003);
             const auto sync = s->deviceStatusMessage.value<QVNasDeviceStatusSyncInfoPtr>();
             ASSERT_TRUE(sync);
             EXPECT_EQ(sync->dataSyncTime, 1700000000123LL);
         },
         "ppc_DGetDeviceStatus",
         {"127.0.0.2", token}},
        {"20 forced update",
         outputs([](auto &o) {
             o.status.status = 1000;
             put(o.status.version, "V3.0.0");
             put(o.status.description, "fixes");
             o.status.size = 123456789;
         }),
         [&](auto d) { return b.qvNasGetDeviceStatus("127.0.0.2", d); },
         20,
         0,
         [](const QVNasResponseInfo &r) {
             const auto ota =
                 dataAs<QVNasDeviceStatusInfo>(r)->deviceStatusMessage.value<QVNasDeviceOtaInfoPtr>();
             ASSERT_TRUE(ota);
             EXPECT_EQ(ota->version(), "V3.0.0");
             EXPECT_EQ(ota->otaDescription(), "fixes");
             EXPECT_EQ(ota->fileSize, 123456789);
         },
         "ppc_DGetDeviceStatus",
         {}},
        {"20 initialising",
         outputs([](auto &o) {
             o.status.status = 3001;
             o.status.initMode = 2;
         }),
         [&](auto d) { return b.qvNasGetDeviceStatus("127.0.0.2", d); },
         20,
         0,
         [](const QVNasResponseInfo &r) {
             const auto init =
                 dataAs<QVNasDeviceStatusInfo>(r)->deviceStatusMessage.value<QVNasDeviceStatusInitInfoPtr>();
             ASSERT_TRUE(init);
             EXPECT_EQ(init->mode, 2);
         },
         "ppc_DGetDeviceStatus",
         {}},
        {"20 expanding",
         outputs([](auto &o) {
             o.status.status = 3005;
             o.status.curDiskCapacity = 1;
             o.status.expanCapacity = 2;
             o.status.expanTime = 3;
         }),
         [&](auto d) { return b.qvNasGetDeviceStatus("127.0.0.2", d); },
         20,
         0,
         [](const QVNasResponseInfo &r) {
             const auto e =
                 dataAs<QVNasDeviceStatusInfo>(r)->deviceStatusMessage.value<QVNasDeviceStatusExpanInfoPtr>();
             ASSERT_TRUE(e);
             EXPECT_EQ(e->curDiskCapacity + e->expanCapacity + e->expanTime, 6);
         },
         "ppc_DGetDeviceStatus",
         {}},
        {"20 plain status has no message",
         outputs([](auto &o) { o.status.status = 2; }),
         [&](auto d) { return b.qvNasGetDeviceStatus(QString(), d); },
         20,
         0,
         [](const QVNasResponseInfo &r) {
             const auto s = dataAs<QVNasDeviceStatusInfo>(r);
             ASSERT_TRUE(s);
             EXPECT_EQ(s->deviceStatus, 2);
             EXPECT_FALSE(s->deviceStatusMessage.isValid());
         },
         "ppc_DGetDeviceStatus",
         {""}},
        {"20 failed",
         result("ppc_DGetDeviceStatus", 10001),
         [&](auto d) { return b.qvNasGetDeviceStatus("127.0.0.2", d); },
         20,
         110001,
         noData,
         "ppc_DGetDeviceStatus",
         {}},
        {"50 users",
         outputs([](auto &o) {
             user_list_item a{}, c{};
             put(a.nick_name, "alice");
             a.user_id = 7;
             put(c.nick_name, "bob");
             c.user_id = 8;
             o.fileUsers = {a, c};
         }),
         [&](auto d) { return b.qvNasGetDeviceUserInfoListWithCompletion(d); },
         50,
         0,
         [](const QVNasResponseInfo &r) {
             const auto users = r.responseData.value<QList<QVNasDeviceUserInfoPtr>>();
             ASSERT_EQ(users.size(), 2);
             EXPECT_EQ(users[0]->nick_name, "alice");
             EXPECT_EQ(users[1]->user_id, 8);
         },
         "ppc_FileGetUserList",
         {token}},
        {"50 no list is a failure",
         outputs([](auto &o) { o.userListNull = true; }),
         [&](auto d) { return b.qvNasGetDeviceUserInfoListWithCompletion(d); },
         50,
         -1,
         [](const QVNasResponseInfo &r) {
             EXPECT_TRUE(r.responseData.value<QList<QVNasDeviceUserInfoPtr>>().isEmpty());
         },
         "ppc_FileGetUserList",
         {}},
        {"117 space",
         outputs([](auto &o) {
             put(o.space.userName, "alice");
             o.space.usedSpace = 10;
             o.space.allocateSpace = 20;
             o.space.diskTotalSize = 30;
             o.space.diskFreeSize = 40;
             o.space.limitSet = 1;
         }),
         [&](auto d) { return b.qvNasGetUserSpaceWithCompletion(d); },
         117,
         0,
         [](const QVNasResponseInfo &r) {
             const auto s = dataAs<QVNasDeviceUserSpaceInfo>(r);
             ASSERT_TRUE(s);
             EXPECT_EQ(s->userName, "alice");
             EXPECT_EQ(s->usedSpace + s->allocateSpace + s->diskTotalSize + s->diskFreeSize, 100);
             EXPECT_EQ(s->spaceLimitSet, 1);
         },
         "ppc_FileGetUserSpace",
         {token}},
        {"117 failed has no data",
         result("ppc_FileGetUserSpace", 10002),
         [&](auto d) { return b.qvNasGetUserSpaceWithCompletion(d); },
         117,
         110002,
         noData,
         "ppc_FileGetUserSpace",
         {}},
        {"118 information",
         outputs([](auto &o) {
             std::memset(o.nasInfo.deviceModel, 'M', sizeof o.nasInfo.deviceModel);  // full, no terminator
             put(o.nasInfo.mac, "00:11:22:33:44:55");
             put(o.nasInfo.stmVer, "stm-9");
             o.nasInfo.version_flag = 3;
             o.nasInfo.time = 99;
         }),
         [&](auto d) { return b.qvNasGetDeviceInfoWithCompletion(d); },
         118,
         0,
         [](const QVNasResponseInfo &r) {
             const auto i = dataAs<QVNasDeviceAdvancedInfo>(r);
             ASSERT_TRUE(i);
             EXPECT_EQ(i->device_model, QString(32, 'M'));
             EXPECT_EQ(i->mac, "00:11:22:33:44:55");
             EXPECT_EQ(i->stmVer, "stm-9");
             EXPECT_EQ(i->version_flag, 3);
             EXPECT_EQ(i->time, 0);  // not copied
         },
         "ppc_GeNasDeviceInfo",
         {token}},
        {"118 failed still answers the object",
         result("ppc_GeNasDeviceInfo", 10003),
         [&](auto d) { return b.qvNasGetDeviceInfoWithCompletion(d); },
         118,
         110003,
         [](const QVNasResponseInfo &r) {
             const auto i = dataAs<QVNasDeviceAdvancedInfo>(r);
             ASSERT_TRUE(i);
             EXPECT_TRUE(i->device_model.isNull());
             EXPECT_EQ(i->version_flag, 0);
         },
         "ppc_GeNasDeviceInfo",
         {}},
        {"150 p2p",
         outputs([](auto &o) {
             o.p2p.sid = 5;  // the device fills only mode, NAT type and address
             o.p2p.mode = 1;
             o.p2p.nat_type = 3;
             put(o.p2p.remote_ip, "203.0.113.9");
             o.p2p.remote_port = 9000;
         }),
         [&](auto d) { return b.qvNasGetP2PClientInfoWithCompletion(d); },
         150,
         0,
         [](const QVNasResponseInfo &r) {
             const auto p = dataAs<QVNasPeerTunnelSessionInfo>(r);
             ASSERT_TRUE(p);
             EXPECT_EQ(p->nMode, 1);
             EXPECT_EQ(p->nNatType, 3);
             EXPECT_EQ(p->szRemoteIP, "203.0.113.9");
             EXPECT_EQ(p->nSID + p->nRemotePort + p->nVersion, 0);
         },
         "ppc_p2p_get_client_info",
         {token}},
        {"150 failed",
         result("ppc_p2p_get_client_info", 10004),
         [&](auto d) { return b.qvNasGetP2PClientInfoWithCompletion(d); },
         150,
         110004,
         [](const QVNasResponseInfo &r) {
             const auto p = dataAs<QVNasPeerTunnelSessionInfo>(r);
             ASSERT_TRUE(p);
             EXPECT_TRUE(p->szRemoteIP.isNull());
             EXPECT_EQ(p->nMode + p->nNatType, 0);
         },
         "ppc_p2p_get_client_info",
         {}},
        {"151 a 64-byte name without terminator",
         outputs([&](auto &o) { o.nickName = longName.toStdString(); }),
         [&](auto d) { return b.qvNasGetDeviceNickNameWithCompletion(d); },
         151,
         0,
         [](const QVNasResponseInfo &r) {
             EXPECT_EQ(r.responseData.toString(), QString(62, 'n') + "é");  // the cut "é" is dropped
         },
         "ppc_GetDeviceNickName",
         {token}},
        {"151 no name",
         {},
         [&](auto d) { return b.qvNasGetDeviceNickNameWithCompletion(d); },
         151,
         0,
         [](const QVNasResponseInfo &r) { EXPECT_EQ(r.responseData.toString(), ""); },
         "ppc_GetDeviceNickName",
         {}},
        {"152 set name",
         {},
         [&](auto d) { return b.qvNasSetDeviceNickNameWithName("书房 NAS", d); },
         152,
         0,
         noData,
         "ppc_SetDeviceNickName",
         {"书房 NAS", token}},
        {"157 listen",
         {},
         [&](auto d) { return b.qvNasAddUserStatusChangedListenWithServiceUserId("u-77", d); },
         157,
         0,
         noData,
         "ppc_userStatusChangedListen",
         {"u-77"}},
        {"157 without a user id answers -1",
         {},
         [&](auto d) { return b.qvNasAddUserStatusChangedListenWithServiceUserId("", d); },
         157,
         -1,
         noData,
         nullptr,
         {}},
        {"158 cancel",
         {},
         [&](auto d) { return b.qvNasExitUserStatusChangedListenWithCompletion(d); },
         158,
         0,
         noData,
         "ppc_cancel_userStatusChangedListen",
         {}},
        {"159 users, a repeated id replaced",
         outputs([](auto &o) {
             user_list_info a{}, c{}, a2{};
             a.userId = 7;
             put(a.nickName, "alice");
             c.userId = 8;
             put(c.nickName, "bob");
             put(c.imagePath, "/img/b.png");
             a2.userId = 7;
             put(a2.nickName, "alice-2");
             o.users = {a, c, a2};
         }),
         [&](auto d) { return b.qvNasGetUserListWithCompletion(d); },
         159,
         0,
         [](const QVNasResponseInfo &r) {
             const auto l = dataAs<QVNasDeviceUserListInfo>(r);
             ASSERT_TRUE(l);
             const auto &dict = l->deviceUserDictionary();
             ASSERT_EQ(dict.size(), 2);
             EXPECT_EQ(dict.value(7)->nick_name, "alice-2");
             EXPECT_EQ(dict.value(8)->imageUrl, "/img/b.png");
         },
         "ppc_GetUserList",
         {token}},
        {"159 empty",
         {},
         [&](auto d) { return b.qvNasGetUserListWithCompletion(d); },
         159,
         0,
         [](const QVNasResponseInfo &r) {
             EXPECT_TRUE(dataAs<QVNasDeviceUserListInfo>(r)->deviceUserDictionary().isEmpty());
         },
         "ppc_GetUserList",
         {}},
        {"159 failed",
         result("ppc_GetUserList", 10288),
         [&](auto d) { return b.qvNasGetUserListWithCompletion(d); },
         159,
         110288,
         [](const QVNasResponseInfo &r) {
             EXPECT_TRUE(dataAs<QVNasDeviceUserListInfo>(r)->deviceUserDictionary().isEmpty());
         },
         "ppc_GetUserList",
         {}},
        {"173 nothing to do",
         outputs([](auto &o) {
             o.execReports = {{1, 1, 2}};
         }),
         [&](auto d) { return b.qvNasRouterDeviceExec("127.0.0.2", 0, {}, d); },
         173,
         0,
         noData,
         "ppc_router_DeviceExec",
         {"", "0", "127.0.0.2", token}},
        {"173 failed",
         result("ppc_router_DeviceExec", 20001),
         [&](auto d) { return b.qvNasRouterDeviceExec(QString(), 3001, {}, d); },
         173,
         120001,
         noData,
         "ppc_router_DeviceExec",
         {"", "3001", ""}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fake->editOutputs([](auto &o) { o = FakeDeviceSdk::Outputs{}; });
        fake->script(row.sdkFunction ? row.sdkFunction : "", 0);
        if (row.script) row.script(*fake);
        bridge().setSrcToken(4242);
        const size_t before = fake->calls().size();
        std::atomic<bool> onMain{false};
        std::atomic<int> calls{0};
        QVNasResponseInfoPtr response;
        auto req = row.send([&](const QVNasResponseInfoPtr &r) {
            onMain = plat::isMainThread();
            response = r;
            ++calls;
        });
        ASSERT_TRUE(req);
        EXPECT_EQ(req->clientCommand, row.command);
        ASSERT_TRUE(spinUntil([&] { return calls.load() > 0; }));
        drain();
        EXPECT_EQ(calls.load(), 1);
        EXPECT_TRUE(onMain);
        EXPECT_EQ(response->clientCommand, row.command);
        EXPECT_EQ(response->responseCode, row.code);
        row.check(*response);
        const auto all = fake->calls();
        const std::vector<FakeDeviceSdk::Call> made(all.begin() + static_cast<long>(before), all.end());
        if (row.sdkFunction == nullptr) {
            EXPECT_TRUE(made.empty()) << "the SDK was called: " << made.front().fn;
        } else {
            auto it = std::find_if(made.begin(), made.end(),
                                   [&](const auto &c) { return c.fn == row.sdkFunction; });
            ASSERT_NE(it, made.end()) << row.sdkFunction << " not called";
            EXPECT_NE(it->thread, std::this_thread::get_id()) << "the SDK call ran on main";
            for (size_t i = 0; i < row.sdkArgs.size() && i < it->args.size(); ++i) {
                if (!(row.command == 173 && i == 0)) {
                    EXPECT_EQ(it->args[i], row.sdkArgs[i]) << "argument " << i;
                }
            }
            if (row.command == 173) {
                EXPECT_EQ(it->args[0], std::to_string(req->clientCommandSeq));
            }
        }
    }
    EXPECT_EQ(fake->liveUserLists(), 0) << "a user list was not freed";
    EXPECT_EQ(broker().completionCount(), 0);
}

TEST_F(SessionCommands, RegistrationSendsOneStoredUuidCutNamesAndReadsItOffMain) {
    // A store that notes the threads it is used on.
    struct Recording final : plat::SecretStore {
        plat::InMemorySecretStore inner;
        std::atomic<int> onMain{0}, uses{0};
        void note() {
            ++uses;
            if (plat::isMainThread()) ++onMain;
        }
        bool save(const QString &k, const QByteArray &v) override { return note(), inner.save(k, v); }
        std::optional<QByteArray> load(const QString &k) override { return note(), inner.load(k); }
        bool remove(const QString &k) override { return note(), inner.remove(k); }
    };
    auto rec = std::make_shared<Recording>();
    plat::SecretStore::setShared(rec);
    ASSERT_TRUE(QVKeyChainDataManager::saveUUID(""));  // an empty uuid kept by an older run is replaced
    rec->onMain = 0;
    for (int i = 0; i < 2; ++i) {
        const auto r = answerOf([](auto d) { return broker().qvNasRegisterDeviceWithCompletion(d); });
        ASSERT_TRUE(r);
        EXPECT_EQ(r->responseCode, 0);
    }
    EXPECT_GT(rec->uses.load(), 0);
    EXPECT_EQ(rec->onMain.load(), 0) << "the keychain was read on the main thread";
    const auto sent = fake->callsOf("ppc_device_register");
    ASSERT_EQ(sent.size(), 2u);
    const std::optional<QString> stored = QVKeyChainDataManager::readUUID();
    ASSERT_TRUE(stored);
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{32}$").match(*stored).hasMatch());
    EXPECT_EQ(sent[0].args[1], stored->toStdString());
    EXPECT_EQ(sent[1].args[1], sent[0].args[1]);
    // The machine's name, cut to the record's 32 bytes at a character boundary.
    char expected[33];
    QVClientSDKTools::copyToField(expected, sizeof expected, QVClientSDKTools::deviceString().toUtf8());
    EXPECT_EQ(sent[0].args[0], std::string(expected));
}

TEST_F(SessionCommands, ModuleFlagIsAnsweredOnTheCallersThread) {
    fake->editOutputs([](auto &o) { o.modules = {{3, 1}, {4, 0}, {8, 1}}; });
    struct Case {
        int64_t type;
        bool expected;
    };
    for (const Case c : {Case{3, true}, Case{8, true}, Case{4, false}, Case{5, false}, Case{0, false}}) {
        EXPECT_EQ(broker().qvNasGetModuleSupportFlag(c.type), c.expected) << c.type;
        const auto calls = fake->callsOf("ppc_isModuleSupport");
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().thread, std::this_thread::get_id());
    }
}

TEST(SessionCommandsStopped, ModuleFlagAndContextCallsWithoutAServiceAnswerWithoutTheSdk) {
    // A service started and stopped on one fake: the answers' road is set up, no context is left.
    auto before = std::make_shared<FakeDeviceSdk>();
    bridge().setDeviceSdk(before);
    const auto started =
        answerOf([](auto d) { return broker().qvNasStartServiceWithGatewayIp("10.1.2.3", d); });
    ASSERT_TRUE(started && started->responseCode == 0);
    const auto stopped = answerOf([](auto d) { return broker().qvNasStopServiceWithCompletion(d); });
    ASSERT_TRUE(stopped && stopped->responseCode == 0);
    plat::WorkPool::global().waitForDone(5000);
    auto fake = std::make_shared<FakeDeviceSdk>();
    bridge().setDeviceSdk(fake);
    fake->editOutputs([](auto &o) { o.modules = {{3, 1}}; });
    EXPECT_FALSE(broker().qvNasGetModuleSupportFlag(3));
    const Send sends[] = {
        [](auto d) { return broker().qvNasLoginDeviceWithAuthCode("a", "127.0.0.2", d); },
        [](auto d) { return broker().qvNasLogoutDeviceWithCompletion(d); },
        [](auto d) { return broker().qvNasAddUserStatusChangedListenWithServiceUserId("u", d); },
        [](auto d) { return broker().qvNasRouterDeviceExec("127.0.0.2", 3001, {}, d); },
        [](auto d) { return broker().qvNasDynamicSetGatewayWithGatewayIp("10.0.0.255", d); },
    };
    for (const Send &s : sends) {
        const auto r = answerOf(s);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->responseCode, -1) << r->clientCommand;
    }
    EXPECT_TRUE(fake->calls().empty());
    plat::WorkPool::global().waitForDone(5000);
    bridge().setDeviceSdk(nullptr);
}

TEST_F(SessionCommands, AccountStatusPushesReportOneForAPasswordChange) {
    ASSERT_EQ(answerOf([](auto d) {
                  return broker().qvNasAddUserStatusChangedListenWithServiceUserId("u-1", d);
              })->responseCode,
              0);
    struct Case {
        const char *message;
        qlonglong status;
    };
    const Case cases[] = {{"PasswordChanged", 1}, {"{\"type\":\"userPasswordChangedByAdmin\"}", 1},
                          {"passwordchanged", 0}, {"NickChanged", 0},
                          {nullptr, 0},           {"\xff\xfe", 0}};
    for (const Case &c : cases) {
        std::atomic<bool> got{false};
        std::atomic<qlonglong> status{-1};
        std::thread::id on;
        auto token = plat::NotificationCenter::defaultCenter().addObserver(
            QLatin1String(kNotif_QVAutoPushUserStatusChangeNotification), nullptr,
            [&](const plat::Notification &n) {
                status = n.object.toLongLong();
                on = std::this_thread::get_id();
                got = true;
            });
        const std::thread::id pushThread = fake->fireUserStatus(c.message);
        ASSERT_TRUE(got.load()) << (c.message ? c.message : "(null)");
        EXPECT_EQ(status.load(), c.status) << (c.message ? c.message : "(null)");
        EXPECT_EQ(on, pushThread);
    }
}

TEST_F(SessionCommands, EachDeviceOperationsProgressReachesItsOwnHandler) {
    fake->editOutputs([](auto &o) { o.execReports = {{0, 0, 10}, {1, 4, 10}, {2, 10, 10}}; });
    fake->holdExec(true);
    struct Seen {
        std::mutex mu;
        std::vector<int64_t> done;
        std::vector<bool> onMain;
    };
    Seen first, second;
    auto handler = [](Seen &s) {
        return [&s](const QVNasExecTaskProgressInfoPtr &p) {
            std::lock_guard l(s.mu);
            s.done.push_back(p->currentProgress);
            s.onMain.push_back(plat::isMainThread());
        };
    };
    auto a1 = std::make_shared<Answer>(), a2 = std::make_shared<Answer>();
    broker().qvNasRouterDeviceExec("127.0.0.2", 3001, handler(first), a1->completion());
    ASSERT_TRUE(fake->waitExecsHeld(1, 5000));
    broker().qvNasRouterDeviceExec("127.0.0.3", 3002, handler(second), a2->completion());
    ASSERT_TRUE(fake->waitExecsHeld(2, 5000));
    fake->holdExec(false);
    ASSERT_TRUE(a1->wait());
    ASSERT_TRUE(a2->wait());
    EXPECT_EQ(a1->get()->responseCode, 0);
    for (Seen *s : {&first, &second}) {
        std::lock_guard l(s->mu);
        EXPECT_EQ(s->done, (std::vector<int64_t>{0, 4, 10}));
        for (bool m : s->onMain) EXPECT_FALSE(m) << "progress runs on the operation's worker";
    }
}

}  // namespace
