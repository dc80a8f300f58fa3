#include "testing/FakeFramework.h"

#include <gtest/gtest.h>

#include <QThread>
#include <stdexcept>

#include "model/QVFileAttributeInfo.h"
#include "model/QVNasFileListInfo.h"
#include "platform/MainQueue.h"
#include "session/QVSingletonInterfaceManage.h"
#include "testing/app_test_util.h"
#include "tools/QVPrivateTools.h"

namespace {

class FakeFrameworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.setStarted(true);
        loc.setFramework(&fake);
    }
    void TearDown() override {
        fake.releaseAllHeld();
        apptest::drain();
        loc.setFramework(nullptr);
    }
    FakeFramework fake;
    QVSingletonInterfaceManage &loc = QVSingletonInterfaceManage::sharedManager();
};

TEST_F(FakeFrameworkTest, LocatorGettersCreateOnceAndChainThroughTheCreators) {
    EXPECT_EQ(&loc.zeDuzUdurivOVU(), &fake);
    EXPECT_EQ(fake.delegate(), &loc);
    auto storage = loc.qVNasStorageService();
    EXPECT_EQ(loc.qVNasStorageService(), storage);
    EXPECT_EQ(loc.qvNasDeviceUserService()->qVNasStorageService(), storage);
    EXPECT_EQ(loc.qvNasDeviceConnectService()->getDeviceUserService(), loc.qvNasDeviceUserService());
    EXPECT_EQ(loc.qvNasAccountService(), loc.qvNasAccountService());
    EXPECT_EQ(loc.qvNasFWOTAService(), loc.qvNasFWOTAService());
    EXPECT_EQ(loc.qVNasRecentService(), loc.qvNasDeviceUserService()->qVNasRecentService());
    EXPECT_EQ(fake.callCount("createAccountService"), 1);
    EXPECT_EQ(fake.callCount("createUserServiceByAccessToken"), 1);
    EXPECT_EQ(fake.callCount("createDeviceConnectServiceByUserService"), 1);
    EXPECT_EQ(fake.lastCall("createUserServiceByAccessToken").args.value(0).toString(), "");
    EXPECT_EQ(loc.qvNasDeviceConnectService()->userService(), loc.qvNasUserService());
}

TEST_F(FakeFrameworkTest, FactoriesThrowBeforeTheStartAndTheStartAnswerSetsTheFlag) {
    fake.setStarted(false);
    loc.setFramework(&fake);
    try {
        loc.qvNasAccountService();
        FAIL() << "no exception";
    } catch (const std::logic_error &e) {
        EXPECT_STREQ(e.what(), "service is not started, please use first qvSdkStartService:.");
    }
    fake.script("qvSdkStartService", FakeAnswer().withCode(110001));
    fake.script("qvSdkStartService", FakeAnswer());
    QList<int64_t> codes;
    auto done = [&](const QVNasResponseInfoPtr &r) { codes.append(r->responseCode); };
    fake.qvSdkStartService(done);
    fake.qvSdkStartService(done);
    EXPECT_TRUE(codes.isEmpty());  // never before the call returns
    ASSERT_TRUE(apptest::spinUntil([&] { return codes.size() == 2; }));
    EXPECT_EQ(codes, (QList<int64_t>{110001, 0}));
    EXPECT_TRUE(fake.isStartService());
    EXPECT_NE(loc.qvNasAccountService(), nullptr);
}

TEST_F(FakeFrameworkTest, AnswersInScriptOrderDelayedAndHeldWithCallsRecorded) {
    auto list = std::make_shared<QVNasFileListInfo>();
    list->totalCount = 7;
    fake.script("qvNasGetFileListWithStartIndex", FakeAnswer().withData(QVariant::fromValue(list)).held());
    fake.script("qvNasGetFileListWithStartIndex", FakeAnswer().withCode(100123).withDelay(50));
    fake.setDefaultAnswer("qvNasGetFileListWithStartIndex", FakeAnswer().withCode(9));
    auto storage = loc.qVNasStorageService();
    QList<int64_t> order;
    QVNasResponseInfoPtr first;
    const auto path = QVNasPathInfo::sharePath("/a", 4294967297LL);
    auto r1 = storage->qvNasGetFileListWithStartIndex(0, 500, path, 4, [&](const QVNasResponseInfoPtr &r) {
        first = r;
        order.append(r->responseCode);
    });
    storage->qvNasGetFileListWithStartIndex(
        500, 500, path, 4, [&](const QVNasResponseInfoPtr &r) { order.append(r->responseCode); });
    storage->qvNasGetFileListWithStartIndex(
        1000, 500, path, 1, [&](const QVNasResponseInfoPtr &r) { order.append(r->responseCode); });
    EXPECT_EQ(r1->clientCommand, 61);
    EXPECT_GT(r1->clientCommandSeq, 0);
    ASSERT_TRUE(apptest::spinUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (QList<int64_t>{9, 100123}));  // the delayed one after the next-turn one
    EXPECT_EQ(fake.heldCount(), 1);
    EXPECT_TRUE(fake.releaseHeld("qvNasGetFileListWithStartIndex"));
    ASSERT_TRUE(apptest::spinUntil([&] { return order.size() == 3; }));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->clientCommand, 61);
    EXPECT_EQ(first->responseData.value<QVNasFileListInfoPtr>(), list);
    const FakeCall c = fake.lastCall("qvNasGetFileListWithStartIndex");
    EXPECT_EQ(c.args.value(0).toInt(), 1000);
    EXPECT_EQ(c.args.value(2).value<QVNasPathInfoPtr>(), path);
    EXPECT_EQ(c.args.value(3).toLongLong(), 1);
    EXPECT_EQ(fake.callCount("qvNasGetFileListWithStartIndex"), 3);
}

TEST_F(FakeFrameworkTest, SearchBatchesStopAtCloseAndTheCompletionStillRuns) {
    auto f = std::make_shared<QVNasFileInfo>();
    f->name = "a.mp4";
    FakeAnswer a;
    a.batches = {{{f}, 1}, {{f, f}, 1}, {{}, 2}};
    fake.script("qvNasSearchForMultiWithSearchTitle", a);
    fake.script("qvNasSearchForMultiWithSearchTitle", FakeAnswer().withBatches({{{f}, 1}, {{}, 2}}).held());
    auto storage = loc.qVNasStorageService();
    QList<int32_t> statuses;
    bool done = false;
    storage->qvNasSearchForMultiWithSearchTitle(
        {"a"}, 0, 4,
        [&](const QVNasRequestInfoPtr &r, const QList<QVNasFileInfoPtr> &files, int32_t status) {
            EXPECT_EQ(r->clientCommand, 130);
            EXPECT_TRUE(plat::isMainThread());
            statuses.append(status * 10 + static_cast<int32_t>(files.size()));
        },
        [&](const QVNasResponseInfoPtr &) { done = true; });
    ASSERT_TRUE(apptest::spinUntil([&] { return done; }));
    EXPECT_EQ(statuses, (QList<int32_t>{11, 12, 20}));
    // A closed search delivers no further batch; its completion still comes.
    statuses.clear();
    done = false;
    auto req = storage->qvNasSearchForMultiWithSearchTitle(
        {"b"}, 0, 4,
        [&](const QVNasRequestInfoPtr &, const QList<QVNasFileInfoPtr> &, int32_t s) { statuses.append(s); },
        [&](const QVNasResponseInfoPtr &) { done = true; });
    bool closed = false;
    storage->qvNasCloseSearchForMultiRequest(req, [&](const QVNasResponseInfoPtr &r) {
        EXPECT_EQ(r->clientCommand, 131);
        closed = true;
    });
    fake.releaseAllHeld();
    ASSERT_TRUE(apptest::spinUntil([&] { return done && closed; }));
    EXPECT_TRUE(statuses.isEmpty());
}

TEST_F(FakeFrameworkTest, CopyProgressOnAWorkerThenTheAnswerOnMain) {
    FakeAnswer a;
    for (uint64_t i = 1; i <= 3; ++i) {
        auto p = std::make_shared<QVNasOperateProgressInfo>();
        p->operate_status = i < 3 ? 1 : 2;
        p->cur_progress = i;
        p->total_progress = 3;
        a.progress.append(p);
    }
    fake.script("qvNasCopyToWithFromInfo", a);
    std::atomic<int> reports{0};
    std::atomic<bool> offMain{true};
    bool done = false;
    loc.qVNasStorageService()->qvNasCopyToWithFromInfo(
        QVNasPathInfo::sharePath("/a", 1), QVNasPathInfo::sharePath("/b", 1),
        [&](const QVNasRequestInfoPtr &r, const QVNasOperateProgressInfoPtr &) {
            if (plat::isMainThread() || r->clientCommand != 135) offMain = false;
            ++reports;
        },
        [&](const QVNasResponseInfoPtr &r) {
            EXPECT_TRUE(plat::isMainThread());
            EXPECT_EQ(reports.load(), 3);
            EXPECT_EQ(r->clientCommand, 135);
            done = true;
        });
    ASSERT_TRUE(apptest::spinUntil([&] { return done; }));
    EXPECT_TRUE(offMain.load());
}

TEST_F(FakeFrameworkTest, ConnectCallbacksConnectedErrorAndDropped) {
    fake.scriptConnect({FakeConnectOutcome::Error, 5, "offline"});
    fake.scriptConnect(FakeConnectOutcome());
    auto cs = loc.qvNasDeviceConnectService();
    QStringList events;
    cs->qvNasSetDeviceWithListener(
        [&] { events << "connected"; },
        [&](int64_t type, const QString &msg) { events << QString("error %1 %2").arg(type).arg(msg); },
        [&] { events << "dropped"; });
    cs->qvNasConnect();
    EXPECT_TRUE(events.isEmpty());
    ASSERT_TRUE(apptest::spinUntil([&] { return events.size() == 1; }));
    EXPECT_FALSE(cs->isConnected());
    cs->qvNasConnect();
    ASSERT_TRUE(apptest::spinUntil([&] { return events.size() == 2; }));
    EXPECT_TRUE(cs->isConnected());
    fake.fireDisconnected();
    EXPECT_EQ(events, (QStringList{"error 5 offline", "connected", "dropped"}));
    EXPECT_FALSE(cs->isConnected());
    EXPECT_EQ(fake.callCount("qvNasConnect"), 2);
}

TEST_F(FakeFrameworkTest, DeviceLoginQrHandlersModulesAndFileAddress) {
    auto du = loc.qvNasDeviceUserService();
    QList<int64_t> got;
    du->qvNasSetLoginDeviceListener([&](int64_t token) { got << token; },
                                    [&](int64_t type) { got << -type; });
    fake.script("qvNasLoginDeviceWithIp", FakeAnswer().withData(qint64(77)));
    fake.script("qvNasLoginDeviceWithIp", FakeAnswer().withCode(3));
    du->qvNasLoginDeviceWithIp("192.168.1.5", "code");
    du->qvNasLoginDeviceWithIp("192.168.1.5", "code");
    ASSERT_TRUE(apptest::spinUntil([&] { return got.size() == 2; }));
    EXPECT_EQ(got, (QList<int64_t>{77, -3}));

    QStringList tokens;
    auto mgr = loc.qvNasDeviceManagerService();
    mgr->qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
        "id1", [&](const QString &t, int64_t) { tokens << "old " + t; }, {});
    mgr->qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
        "id2", [&](const QString &t, int64_t) { tokens << t; }, {});
    fake.fireAuthCode("rt", 60);
    fake.fireAuthCode("again", 60);  // once, then dropped
    EXPECT_EQ(tokens, QStringList{"rt"});

    fake.setModuleSupport({7});
    EXPECT_TRUE(du->qvNasGetModuleSupportFlag(7));
    EXPECT_FALSE(du->qvNasGetModuleSupportFlag(8));

    auto st = loc.qVNasStorageService();
    EXPECT_EQ(st->qvNasGetFileUriByToken(QVNasPathInfo::sharePath("/a b", 2)), "");
    fake.setSessionToken(123);
    EXPECT_EQ(st->qvNasGetFileUriByToken(QVNasPathInfo::sharePath("/a b", 2)),
              "/2/a%20b?KID=123&ssig=abcdefghij");
}

struct CountingBox final : QVProgressBoxHost {
    QStringList events;
    void removeBox() override { events << "remove"; }
    void showBox(QObject *, bool, const QString &, Mode, int) override { events << "show"; }
    void finishBox(const QString &, int) override { events << "finish"; }
};

TEST_F(FakeFrameworkTest, DisconnectRunsUnderTheSharedBox) {
    CountingBox box;
    QVPrivateTools::setProgressBoxHost(&box);
    fake.script("qvNasDisconectDevice", FakeAnswer().held());
    bool finished = false;
    loc.startDisconnectDevice([&] { finished = true; });
    EXPECT_EQ(box.events, (QStringList{"remove", "show"}));
    EXPECT_EQ(fake.callCount("qvNasDisconectDevice"), 1);
    fake.releaseAllHeld();
    ASSERT_TRUE(apptest::spinUntil([&] { return finished; }));
    EXPECT_EQ(box.events, (QStringList{"remove", "show", "remove"}));
    QVPrivateTools::setProgressBoxHost(nullptr);
}

// The framework's storage service hands its requests to the broker: the handle is the broker's own.
TEST(FrameworkServices, StorageRequestsGoToTheBroker) {
    QVNasStorageService storage;
    auto first = storage.qvNasGetFileAttrWithPathInfo(QVNasPathInfo::sharePath("/", 1), {});
    auto second = storage.qvNasGetFileAttrWithPathInfo(QVNasPathInfo::sharePath("/", 1), {});
    EXPECT_EQ(first->clientCommand, 70);
    EXPECT_GT(second->clientCommandSeq, first->clientCommandSeq);
    QVNasDeviceUserService du;
    EXPECT_EQ(du.qVNasStorageService(), du.qVNasStorageService());
    EXPECT_FALSE(du.qvNasGetModuleSupportFlag(1));
}

}  // namespace
