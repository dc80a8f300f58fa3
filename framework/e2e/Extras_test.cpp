// The hidden space, share links and the recycle bin end to end: the storage service, the broker and the
// bridge over the real runtime against an emulated device on 127.0.0.2, after a device login, in the
// session's network namespace. The passwords and the verification code reach no log line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "base/qv_log.h"
#include "discovery.h"
#include "model/QVNasFileListInfo.h"
#include "model/QVNasShareFileInfo.h"
#include "platform/Log.h"
#include "platform/NetworkMonitor.h"
#include "platform/SecretStore.h"
#include "runtime/ppc_service.h"
#include "service/QVNasStorageService.h"
#include "session_fixture.h"

namespace fs = std::filesystem;
using namespace fwtest;
using namespace fwe2e;

namespace {

QVNasFileInfoPtr deviceFile(const char *path) {
    auto f = std::make_shared<QVNasFileInfo>();
    f->path = QString::fromUtf8(path);
    f->userId = 1;
    return f;
}

QVNasPathInfoPtr at(const char *p, int64_t bucket = 1) {
    return QVNasPathInfo::sharePath(QString::fromUtf8(p), bucket);
}

QList<uint64_t> idsOf(const QVNasResponseInfoPtr &r) {
    QList<uint64_t> ids;
    for (const auto &s : r->responseData.value<QList<QVNasShareFileInfoPtr>>()) ids << s->shareId;
    return ids;
}

// Progress of one request as the caller saw it, and whether the answer came after all of it.
struct Reports {
    std::mutex mu;
    std::vector<Progress::Call> calls;
    bool anyOnMain = false;
    QVNasTransportProgressBlock block() {
        return [this](const QVNasRequestInfoPtr &r, int32_t s, int64_t done, int64_t total) {
            std::lock_guard l(mu);
            anyOnMain = anyOnMain || plat::isMainThread();
            calls.push_back({r->clientCommandSeq, s, done, total, plat::isMainThread()});
        };
    }
    size_t size() {
        std::lock_guard l(mu);
        return calls.size();
    }
};

TEST(SessionEndToEnd, HiddenSpaceSharesAndRecycleBinThroughTheStorageService) {
    if (const auto why = whyNoNamespace()) GTEST_SKIP() << *why;
    const std::string root = testing::TempDir() + "fw_extras_" + std::to_string(getpid());
    fs::remove_all(root);
    for (const char *d : {"/docs", "/vault"}) fs::create_directories(root + d);
    for (const char *f : {"/docs/a.txt", "/docs/b.txt", "/docs/c.txt", "/docs/d.txt", "/docs/e.txt",
                          "/docs/f.txt", "/vault/x.txt", "/vault/.keep"})
        std::ofstream(root + f) << f;
    SdkLogCapture sdkLog;
    plat::LogCapture log;
    ppc_set_broker_address("127.0.0.1:1");  // refused: the service runs without messaging
    plat::SecretStore::setShared(std::make_shared<plat::FileSecretStore>());

    EmulatedDevice d2 = emulate(root, "127.0.0.2", "BIND-0002");
    ASSERT_TRUE(d2.dev->start()) << d2.dev->last_error();
    emu::DiscoveryLan lan("127.0.0.1");
    lan.add({.ip = "127.0.0.2", .name = "Study", .device_id = "DEV-2", .p2p_uuid = "P2P-2"});
    ASSERT_TRUE(lan.start());
    bridge().setDeviceSdk(nullptr);  // the real SDK
    TestFramework fw;
    auto &monitor = plat::NetworkMonitor::shared();
    const auto monitorBefore = monitor.status();
    monitor.setStatusForTests(plat::NetworkMonitor::Status::Local);
    {
        auto a = std::make_shared<Answer>();
        fw.qvSdkStartService(a->completion());
        ASSERT_TRUE(a->wait(15000));
        ASSERT_EQ(a->get()->responseCode, 0);
    }
    auto &b = broker();
    const auto login = ask([&](auto d) { return b.qvNasLoginDeviceWithAuthCode(kAuth, "127.0.0.2", d); });
    ASSERT_EQ(login->responseCode, 0);
    QVNasStorageService storage;
    auto voidAsk = [](auto send) {
        return answerOf([&](QVNasCompletionBlock d) {
            send(std::move(d));
            return QVNasRequestInfoPtr{};
        });
    };

    // ---- hidden space, in its order of use ----
    const QString pwd = QStringLiteral("Hide-Pass-9137"), wrong = QStringLiteral("Wrong-Pass-0042"),
                  newPwd = QStringLiteral("Hide-Reset-5521");
    auto enabled = ask([&](auto d) { return storage.qvNasGetHideSpaceEnable(d); });
    ASSERT_EQ(enabled->responseCode, 0);
    EXPECT_EQ(enabled->responseData.toLongLong(), 0);
    EXPECT_EQ(voidAsk([&](auto d) { storage.qvNasTurnOnHideSpace(d); })->responseCode, 0);
    EXPECT_EQ(voidAsk([&](auto d) { storage.qvNasTurnOnHideSpace(d); })->responseCode, 110013);
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasGetHideSpaceEnable(d); })->responseData.toLongLong(), 1);
    auto pwdState = voidAsk([&](auto d) { storage.qvNasGetHideSpacePasswordStatus(d); });
    ASSERT_EQ(pwdState->responseCode, 0);
    EXPECT_EQ(pwdState->responseData.toLongLong(), 0);
    EXPECT_EQ(
        voidAsk([&](auto d) { storage.qvNasSetHideSpacePassword(QStringLiteral("12345"), d); })->responseCode,
        -1);
    EXPECT_EQ(voidAsk([&](auto d) { storage.qvNasSetHideSpacePassword(pwd, d); })->responseCode, 0);
    EXPECT_EQ(voidAsk([&](auto d) { storage.qvNasGetHideSpacePasswordStatus(d); })->responseData.toLongLong(),
              1);
    EXPECT_EQ(voidAsk([&](auto d) { storage.qvNasGetHideSpaceInfo(d); })->responseCode, 110019);
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasLoginHideSpaceByPassword(wrong, d); })->responseCode,
              110017);
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasLoginHideSpaceByPassword(pwd, d); })->responseCode, 0);
    const auto info = voidAsk([&](auto d) { storage.qvNasGetHideSpaceInfo(d); });
    ASSERT_EQ(info->responseCode, 0);
    const auto space = info->responseData.value<QVNasDeviceUserInfoPtr>();
    ASSERT_TRUE(space);
    EXPECT_EQ(space->nick_name, "private");
    EXPECT_EQ(space->user_id, 1001);
    // The hidden folder page under the information's bucket id: counts as the device gave them.
    const auto page = ask([&](auto d) {
        return storage.qvNasGetHideSpaceFileListByStartIndex(0, 50, at("/vault", space->user_id), 0, d);
    });
    ASSERT_EQ(page->responseCode, 0);
    const auto list = page->responseData.value<QVNasFileListInfoPtr>();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->count, 2);
    ASSERT_EQ(list->fileList.size(), 1);
    EXPECT_EQ(list->fileList[0]->name, "x.txt");
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasLogoutHideSpace(d); })->responseCode, 0);
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasLogoutHideSpace(d); })->responseCode, 110019);
    // Forgotten password: an SMS code, then a reset with it.
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasGetRouterSmsVerifyCode(d); })->responseCode, 0);
    std::string smsCode;
    {
        std::lock_guard lk(d2.admin->mu);
        smsCode = d2.admin->sms_code;
    }
    ASSERT_FALSE(smsCode.empty());
    EXPECT_EQ(ask([&](auto d) {
                  return storage.qvNasResetHideSpacePasswordByVerifyCode(QString::fromStdString(smsCode),
                                                                         newPwd, d);
              })->responseCode,
              0);
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasLoginHideSpaceByPassword(newPwd, d); })->responseCode, 0);
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasLogoutHideSpace(d); })->responseCode, 0);

    // ---- share links ----
    auto create = [&](const char *path, int64_t shape, int64_t valid) {
        return ask(
            [&](auto d) { return storage.qvNasCreateShareByFileList({deviceFile(path)}, shape, valid, d); });
    };
    const auto first = create("/docs/a.txt", 1026, 1027);
    ASSERT_EQ(first->responseCode, 0);
    const auto firstShare = first->responseData.value<QVNasShareFileInfoPtr>();
    ASSERT_TRUE(firstShare);
    EXPECT_TRUE(firstShare->shareHasPw);
    EXPECT_EQ(firstShare->shareExpect, 604800u);
    ASSERT_EQ(create("/docs/b.txt", 1025, 1028)->responseCode, 0);
    auto listed = ask([&](auto d) { return storage.qvNasGetShareListByStartIndex(0, 100, d); });
    ASSERT_EQ(listed->responseCode, 0);
    EXPECT_EQ(idsOf(listed), (QList<uint64_t>{1, 2}));
    // Paging keeps the device's order.
    EXPECT_EQ(idsOf(ask([&](auto d) { return storage.qvNasGetShareListByStartIndex(1, 1, d); })),
              (QList<uint64_t>{2}));
    const auto shares = listed->responseData.value<QList<QVNasShareFileInfoPtr>>();
    const auto cancel = ask([&](auto d) { return storage.qvNasCancelShareByShareInfo(shares[0], d); });
    EXPECT_EQ(cancel->clientCommand, 187);
    EXPECT_EQ(cancel->responseCode, 0);
    EXPECT_EQ(idsOf(ask([&](auto d) { return storage.qvNasGetShareListByStartIndex(0, 100, d); })),
              (QList<uint64_t>{2}));
    // A link whose id needs more than 32 bits: its cancel is refused, and link 5 (its low bits) stays.
    const uint64_t wide = (uint64_t{1} << 32) + 5;
    {
        std::lock_guard lk(d2.admin->mu);
        d2.admin->next_share_id = 5;
    }
    ASSERT_EQ(create("/docs/c.txt", 1025, 1028)->responseCode, 0);
    {
        std::lock_guard lk(d2.admin->mu);
        d2.admin->next_share_id = static_cast<int64_t>(wide);
    }
    ASSERT_EQ(create("/docs/d.txt", 1025, 1028)->responseCode, 0);
    listed = ask([&](auto d) { return storage.qvNasGetShareListByStartIndex(0, 100, d); });
    ASSERT_EQ(idsOf(listed), (QList<uint64_t>{2, 5, wide}));
    const uint64_t cancelsBefore = d2.sent(189);
    const auto refused = ask([&](auto d) {
        return storage.qvNasCancelShareByShareInfo(
            listed->responseData.value<QList<QVNasShareFileInfoPtr>>()[2], d);
    });
    EXPECT_EQ(refused->clientCommand, 187);
    EXPECT_EQ(refused->responseCode, -1);
    EXPECT_EQ(d2.sent(189), cancelsBefore);
    EXPECT_EQ(idsOf(ask([&](auto d) { return storage.qvNasGetShareListByStartIndex(0, 100, d); })),
              (QList<uint64_t>{2, 5, wide}));

    // ---- recycle bin ----
    ASSERT_EQ(ask([&](auto d) {
                  return storage.qvNasDeleteListCbWithList(
                      {at("/docs/c.txt"), at("/docs/d.txt"), at("/docs/e.txt")}, {}, d);
              })->responseCode,
              0);
    const auto bin = ask([&](auto d) { return storage.qvNasRecycleGetFileListByStartIndex(0, 50, d); });
    ASSERT_EQ(bin->responseCode, 0);
    const auto binPage = bin->responseData.value<QVNasRecycleFileListInfoPtr>();
    ASSERT_TRUE(binPage);
    ASSERT_EQ(binPage->recycleFileList.size(), 3);
    EXPECT_EQ(binPage->totalCount, 3);
    EXPECT_EQ(binPage->recycleFileList[0]->fullName, "/docs/c.txt");
    EXPECT_FALSE(fs::exists(root + "/docs/c.txt"));
    {
        Reports reports;
        size_t atAnswer = 0;
        const auto r = ask([&](auto d) {
            return storage.qvNasRecycleRestoreFileList(binPage->recycleFileList.mid(0, 2), reports.block(),
                                                       [&, d](const QVNasResponseInfoPtr &resp) {
                                                           atAnswer = reports.size();
                                                           d(resp);
                                                       });
        });
        EXPECT_EQ(r->clientCommand, 202);
        EXPECT_EQ(r->responseCode, 0);
        ASSERT_FALSE(reports.calls.empty());
        EXPECT_EQ(atAnswer, reports.calls.size());
        EXPECT_FALSE(reports.anyOnMain);
        EXPECT_EQ(reports.calls.back().status, 2);
        EXPECT_EQ(reports.calls.back().done, 2);
        EXPECT_EQ(reports.calls.back().total, 2);
        EXPECT_TRUE(fs::exists(root + "/docs/c.txt"));
        EXPECT_TRUE(fs::exists(root + "/docs/d.txt"));
    }
    {
        Reports reports;
        const auto r = ask([&](auto d) {
            return storage.qvNasRecycleDeleteFileList({binPage->recycleFileList[2]}, reports.block(), d);
        });
        EXPECT_EQ(r->responseCode, 0);
        EXPECT_FALSE(reports.calls.empty());
    }
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasRecycleGetFileListByStartIndex(0, 50, d); })
                  ->responseData.value<QVNasRecycleFileListInfoPtr>()
                  ->totalCount,
              0);
    ASSERT_EQ(ask([&](auto d) {
                  return storage.qvNasDeleteListCbWithList({at("/docs/f.txt")}, {}, d);
              })->responseCode,
              0);
    {
        Reports reports;
        const auto r = ask([&](auto d) { return storage.qvNasRecycleEmpty(reports.block(), d); });
        EXPECT_EQ(r->clientCommand, 204);
        EXPECT_EQ(r->responseCode, 0);
        ASSERT_FALSE(reports.calls.empty());
        EXPECT_EQ(reports.calls.back().status, 2);
        EXPECT_EQ(reports.calls.back().total, 1);
    }
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasRecycleGetFileListByStartIndex(0, 50, d); })
                  ->responseData.value<QVNasRecycleFileListInfoPtr>()
                  ->totalCount,
              0);
    // Settings: the survive time goes, the per-bucket list stays here.
    auto settings = std::make_shared<QVNasRecycleInfo>();
    settings->defaultSurviveTime = 45;
    EXPECT_EQ(ask([&](auto d) { return storage.qvNasRecycleSetInfo(settings, d); })->responseCode, 0);
    const auto got = ask([&](auto d) { return storage.qvNasRecycleGetSpaceInfo(d); });
    ASSERT_EQ(got->responseCode, 0);
    EXPECT_EQ(got->responseData.value<QVNasRecycleInfoPtr>()->defaultSurviveTime, 45);

    EXPECT_EQ(ask([&](auto d) { return b.qvNasLogoutDeviceWithCompletion(d); })->responseCode, 0);
    {
        auto a = std::make_shared<Answer>();
        fw.qvSdkStopService(a->completion());
        ASSERT_TRUE(a->wait(15000));
        EXPECT_EQ(a->get()->responseCode, 0);
    }
    // No password, wrong password or verification code in any line, the SDK's or the framework's.
    const std::vector<std::string> secrets = {pwd.toStdString(), wrong.toStdString(), newPwd.toStdString(),
                                              smsCode};
    const auto sdkLines = sdkLog.lines();
    EXPECT_FALSE(sdkLines.empty());
    for (const std::string &line : sdkLines)
        for (const std::string &s : secrets) EXPECT_EQ(line.find(s), std::string::npos) << line;
    for (const QString &line : log.lines())
        for (const std::string &s : secrets)
            EXPECT_FALSE(line.contains(QString::fromStdString(s))) << line.toStdString();
    monitor.setStatusForTests(monitorBefore);
    lan.stop();
    finish({d2.dev.get()}, root);
}

}  // namespace
