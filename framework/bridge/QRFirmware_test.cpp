// QR-code login and firmware requests over the scripted SDK: one table of request x SDK outcome -> answer
// code, data, SDK call and thread; the pushed auth code against the link layer's strict decoder; the
// one-shot handlers on main; the login context under concurrent create, start, stop and release; the
// firmware progress routing; and the device initialisation task.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <tuple>
#include <type_traits>

#include "broker/broker_test_util.h"
#include "cloud/CloudSecrets.h"
#include "link/base64.h"
#include "model/QVClientSDKTools.h"
#include "model/QVNasDeviceStatusInfo.h"
#include "model/QVNasDeviceUserInfo.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "service/QVNasFWOTAService.h"
#include "service/QVNasInitDeviceService.h"

using namespace fwtest;

namespace {

static_assert(!std::is_default_constructible_v<QVNasInitDeviceTaskManage>,
              "a device task is made only with its status and address");

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
    std::vector<std::string> sdkArgs;  // its arguments, when given
};

void noData(const QVNasResponseInfo &r) {
    EXPECT_FALSE(r.responseData.isValid()) << "unexpected data";
}

Check authData(const char *url, const char *id, int expiry) {
    return [=](const QVNasResponseInfo &r) {
        const QVariantMap m = r.responseData.toMap();
        EXPECT_EQ(m.value("authUrl").toString(), QString::fromUtf8(url));
        EXPECT_EQ(m.value("authId").toString(), QString::fromUtf8(id));
        EXPECT_EQ(m.value("expectTime").toInt(), expiry);
        EXPECT_EQ(m.size(), 3);
    };
}

Check requestInfo(int platform, int os) {
    return [=](const QVNasResponseInfo &r) {
        const QVariantMap m = r.responseData.toMap();
        EXPECT_EQ(m.value("platform").toInt(), platform);
        EXPECT_EQ(m.value("os").toInt(), os);
    };
}

Check ota(bool newer, bool forced, const char *version, int64_t size) {
    return [=](const QVNasResponseInfo &r) {
        const auto info = r.responseData.value<QVNasDeviceOtaInfoPtr>();
        ASSERT_TRUE(info);
        EXPECT_EQ(info->isHaveNewVersion, newer);
        EXPECT_EQ(info->isNeedForceUpdate, forced);
        EXPECT_EQ(info->version(), QString::fromUtf8(version));
        EXPECT_EQ(info->fileSize, size);
    };
}

Script result(const char *fn, int r) {
    return [fn, r](FakeDeviceSdk &f) { f.script(fn, r); };
}

class QRFirmwareCommands : public ServiceOnFake {
  protected:
    void TearDown() override {
        answerOf([](auto d) { return broker().qvNasqvQRCodeServiceReleaseCompletion(d); });
        broker().setQvQrcodeSendRefreshTokenHandel(nullptr);
        broker().setQvQrcodeSendUserHandel(nullptr);
        ServiceOnFake::TearDown();
    }
    // Runs a request to its answer and checks that it came once, on main.
    QVNasResponseInfoPtr run(const Send &send) {
        std::atomic<bool> onMain{false};
        std::atomic<int> calls{0};
        QVNasResponseInfoPtr response;
        send([&](const QVNasResponseInfoPtr &r) {
            onMain = plat::isMainThread();
            response = r;
            ++calls;
        });
        EXPECT_TRUE(spinUntil([&] { return calls.load() > 0; }));
        drain();
        EXPECT_EQ(calls.load(), 1);
        EXPECT_TRUE(onMain);
        return response;
    }
};

TEST_F(QRFirmwareCommands, EachRequestAnswersItsCodeAndDataOnMain) {
    auto &b = broker();
    const std::string caches = plat::Paths::cacheLocation().toStdString();
    // 70 bytes whose 64th byte is inside a character: 63 bytes go.
    const QString nick = QString(63, 'a') + QString::fromUtf8("é") + QString(5, 'b');
    const QString image = QString(1030, 'i');
    const QString scanned = "https://127.0.0.1/sl/a?code=AB12&deviceType=";
    const Row rows[] = {
        {"332 init",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceInitCompletion(d); },
         332,
         0,
         noData,
         "ppc_qvsl_init",
         {cloud::appId().toStdString(), cloud::signingKey().toStdString(), "3"}},
        {"332 refused",
         result("ppc_qvsl_init", -1),
         [&](auto d) { return b.qvNasQRCodeServiceInitCompletion(d); },
         332,
         -1,
         noData,
         "ppc_qvsl_init",
         {}},
        {"334 before any 333",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceStartRequestCompletion(d); },
         334,
         -1,
         authData("", "", 0),
         nullptr,
         {}},
        {"336 before any 333",
         {},
         [&](auto d) { return b.qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId("id1", {}, d); },
         336,
         -1,
         noData,
         "ppc_qvsl_set_auth_listener",
         {"id1"}},
        {"337 before any 333",
         {},
         [&](auto d) { return b.qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId("id1", {}, d); },
         337,
         -1,
         noData,
         "ppc_qvsl_set_user_info_listener",
         {"id1"}},
        {"335 without a context",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceStopRequestCompletion(d); },
         335,
         0,
         noData,
         nullptr,
         {}},
        {"338 without a context",
         {},
         [&](auto d) { return b.qvNasqvQRCodeServiceReleaseCompletion(d); },
         338,
         0,
         noData,
         nullptr,
         {}},
        {"333 create in the caches folder",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceCreateCompletion(d); },
         333,
         0,
         noData,
         "ppc_qvsl_QVSLRA_create",
         {"0", "3", caches}},
        {"334 start",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceStartRequestCompletion(d); },
         334,
         0,
         authData("https://127.0.0.1/sl/a?code=AB12&deviceType=3", "auth0123456789", 120),
         "ppc_qvsl_request_auth_start",
         {}},
        {"334 a service error",
         result("ppc_qvsl_request_auth_start", 13109),
         [&](auto d) { return b.qvNasQRCodeServiceStartRequestCompletion(d); },
         334,
         113109,
         authData("", "", 0),
         "ppc_qvsl_request_auth_start",
         {}},
        {"336 listener",
         {},
         [&](auto d) {
             return b.qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId("auth0123456789", {}, d);
         },
         336,
         0,
         noData,
         "ppc_qvsl_set_auth_listener",
         {"auth0123456789"}},
        {"335 stop",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceStopRequestCompletion(d); },
         335,
         0,
         noData,
         "ppc_qvsl_request_auth_stop",
         {}},
        {"338 release",
         {},
         [&](auto d) { return b.qvNasqvQRCodeServiceReleaseCompletion(d); },
         338,
         0,
         noData,
         "ppc_qvsl_QVSLRA_release",
         {}},
        {"334 after 338",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceStartRequestCompletion(d); },
         334,
         -1,
         authData("", "", 0),
         nullptr,
         {}},
        {"339 deviceType=4",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceGetRequestInfo(scanned + "4", d); },
         339,
         -1,
         requestInfo(0, 0),
         "ppc_qvsl_get_request_info",
         {(scanned + "4").toStdString()}},
        {"339 deviceType=3",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceGetRequestInfo(scanned + "3", d); },
         339,
         0,
         requestInfo(0, 3),
         "ppc_qvsl_get_request_info",
         {}},
        {"339 without deviceType",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceGetRequestInfo("https://127.0.0.1/sl/a?code=AB12", d); },
         339,
         0,
         requestInfo(0, 3),
         "ppc_qvsl_get_request_info",
         {}},
        {"339 no reply",
         result("ppc_qvsl_get_request_info", 20000),
         [&](auto d) { return b.qvNasQRCodeServiceGetRequestInfo(scanned + "3", d); },
         339,
         120000,
         requestInfo(0, 0),
         "ppc_qvsl_get_request_info",
         {}},
        {"340 cut at a character within 64 and 1,024 bytes",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceSendUserInfo(nick, image, scanned + "3", d); },
         340,
         0,
         noData,
         "ppc_qvsl_send_user_info",
         {(scanned + "3").toStdString(), std::string(63, 'a'), std::string(1024, 'i')}},
        {"341 every UTF-8 byte in Base64",
         {},
         [&](auto d) { return b.qvNasQRCodeServiceSendAuthCode(QString::fromUtf8("Äb"), scanned + "3", d); },
         341,
         0,
         noData,
         "ppc_qvsl_send_auth_code",
         {(scanned + "3").toStdString(), "w4Ri"}},
        {"153 nothing newer",
         {},
         [&](auto d) { return b.qvNasOTA2HasLatestFWVersionWithLanguage("en", "127.0.0.2", d); },
         153,
         0,
         ota(false, false, "", 0),
         "ppc_OTA2HasLatestVersion",
         {"en", "127.0.0.2", "4242"}},
        {"153 forced",
         [](FakeDeviceSdk &f) {
             f.script("ppc_OTA2HasLatestVersion", 10284);
             f.editFirmware(
                 [](auto &s) { (s.force = 1, s.status = 1, s.version = "3.0.1", s.size = 1 << 20); });
         },
         [&](auto d) { return b.qvNasOTA2HasLatestFWVersionWithLanguage("en", QString(), d); },
         153,
         110284,
         ota(true, true, "3.0.1", 1 << 20),
         "ppc_OTA2HasLatestVersion",
         {"en", ""}},
        {"153 failed",
         result("ppc_OTA2HasLatestVersion", 20003),
         [&](auto d) { return b.qvNasOTA2HasLatestFWVersionWithLanguage("en", "127.0.0.2", d); },
         153,
         120003,
         ota(false, false, "", 0),
         "ppc_OTA2HasLatestVersion",
         {}},
        {"154 already running",
         result("qvota_update", 10285),
         [&](auto d) { return b.qvNasSetOTA2UpgradeWithIp("127.0.0.2", {}, d); },
         154,
         110285,
         noData,
         "qvota_update",
         {}},
        {"154 timed out",
         result("qvota_update", 20001),
         [&](auto d) { return b.qvNasSetOTA2UpgradeWithIp("127.0.0.2", {}, d); },
         154,
         120001,
         noData,
         "qvota_update",
         {}},
        {"156 nothing running",
         {},
         [&](auto d) { return b.qvNasOTA2ListenWithIp("127.0.0.2", {}, d); },
         156,
         0,
         noData,
         "ota_listen",
         {"127.0.0.2"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fake->script(row.sdkFunction ? row.sdkFunction : "", 0);
        fake->editFirmware([](auto &s) { s = FakeDeviceSdk::FirmwareScript{}; });
        if (row.script) row.script(*fake);
        bridge().setSrcToken(4242);
        const size_t before = fake->calls().size();
        QVNasRequestInfoPtr req;
        const auto response = run([&](QVNasCompletionBlock done) { return req = row.send(std::move(done)); });
        ASSERT_TRUE(req);
        EXPECT_EQ(req->clientCommand, row.command);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->clientCommand, row.command);
        EXPECT_EQ(response->responseCode, row.code);
        row.check(*response);
        const auto all = fake->calls();
        const std::vector<FakeDeviceSdk::Call> made(all.begin() + static_cast<long>(before), all.end());
        if (row.sdkFunction == nullptr) {
            EXPECT_TRUE(made.empty()) << "the SDK was called: " << made.front().fn;
            continue;
        }
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(made[0].fn, row.sdkFunction);
        EXPECT_NE(made[0].thread, std::this_thread::get_id()) << "the SDK call ran on main";
        for (size_t i = 0; i < row.sdkArgs.size() && i < made[0].args.size(); ++i)
            EXPECT_EQ(made[0].args[i], row.sdkArgs[i]) << "argument " << i;
    }
    EXPECT_EQ(fake->qrStaleUses(), 0);
}

TEST_F(QRFirmwareCommands, TheCertificateFileIsTheUsersAlone) {
    const QString file = plat::Paths::cacheLocation() + "/qv_sert.pem";
    QFile::remove(file);
    ASSERT_EQ(run([](auto d) { return broker().qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    struct stat st {};
    ASSERT_EQ(stat(file.toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // An existing file with a wider mode is narrowed.
    ASSERT_EQ(chmod(file.toUtf8().constData(), 0644), 0);
    ASSERT_EQ(run([](auto d) { return broker().qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    ASSERT_EQ(stat(file.toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The refresh token is what the link layer's decoder makes of the pushed code, as far as it is UTF-8, and
// nothing (the empty text) when that decoder refuses it.
TEST_F(QRFirmwareCommands, APushedCodeDecodesStrictlyAndReachesItsHandlerOnceOnMain) {
    ASSERT_EQ(run([](auto d) { return broker().qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    struct Case {
        const char *pushed;
        const char *token;
    };
    const Case cases[] = {
        {"QUJDRA==", "ABCD"},
        {"QUJDRA", ""},      // length not a multiple of 4
        {"QUJD RA=", ""},    // a space
        {"QUJD\nRA==", ""},  // a line break
        {"QU=DRA==", ""},    // an inner "="
        {"QUJDRB==", ""},    // bits set under the padding
        {"QUJDRA=A", ""},    // a character after the padding
        {"", ""},            // nothing at all
        {"w6k=", "é"},       // one two-byte character
        {"QULD", "AB"},      // "AB\xC3": the cut character is dropped
        {"/w==", ""},        // no valid prefix
    };
    plat::LogCapture log;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pushed);
        size_t n = 0;
        unsigned char *link = base64_decode(&n, 1024, c.pushed);
        QString expect;
        if (link != nullptr) {
            const auto *raw = reinterpret_cast<const char *>(link);
            expect = QString::fromUtf8(
                raw, static_cast<qsizetype>(QVClientSDKTools::validUtf8PrefixLength(raw, n)));
        }
        std::free(link);
        EXPECT_EQ(expect, QString::fromUtf8(c.token)) << "the table agrees with the link layer";

        std::atomic<int> calls{0};
        std::atomic<bool> onMain{false};
        QString token;
        int64_t expiry = -1;
        ASSERT_EQ(run([&](auto d) {
                      return broker().qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
                          "auth0123456789",
                          [&](const QString &t, int64_t e) {
                              token = t;
                              expiry = e;
                              onMain = plat::isMainThread();
                              ++calls;
                          },
                          d);
                  })->responseCode,
                  0);
        EXPECT_NE(fake->fireQrAuth(c.pushed), std::this_thread::get_id());
        ASSERT_TRUE(spinUntil([&] { return calls.load() > 0; }));
        fake->fireQrAuth(c.pushed);  // a second push finds no handler
        drain();
        drain();
        EXPECT_EQ(calls.load(), 1);
        EXPECT_TRUE(onMain);
        EXPECT_EQ(token, expect);
        EXPECT_FALSE(token.isNull());
        EXPECT_EQ(expiry, 0);
    }
    for (const QString &line : log.lines()) {
        EXPECT_FALSE(line.contains("QUJDRA")) << line.toStdString();
        EXPECT_FALSE(line.contains("ABCD")) << line.toStdString();
    }
}

TEST_F(QRFirmwareCommands, OnlyTheLastAuthHandlerIsCalledAndAFailedRegistrationKeepsIt) {
    auto &b = broker();
    std::atomic<int> first{0}, second{0};
    // Before any context: -1, and the handler stays.
    EXPECT_EQ(run([&](auto d) {
                  return b.qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
                      "id", [&](const QString &, int64_t) { ++first; }, d);
              })->responseCode,
              -1);
    ASSERT_EQ(run([](auto d) { return broker().qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    ASSERT_EQ(run([&](auto d) {
                  return b.qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(
                      "id", [&](const QString &, int64_t) { ++second; }, d);
              })->responseCode,
              0);
    fake->fireQrAuth("QUJDRA==");
    fake->fireQrAuth("QUJDRA==");
    ASSERT_TRUE(spinUntil([&] { return second.load() > 0; }));
    drain();
    EXPECT_EQ(first.load(), 0);
    EXPECT_EQ(second.load(), 1);
}

TEST_F(QRFirmwareCommands, UserInfoReachesItsHandlerOnceOnMain) {
    ASSERT_EQ(run([](auto d) { return broker().qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    struct Case {
        const char *nick, *image;
        bool nickNull;
        QString wantNick;
    };
    const Case cases[] = {
        {"Ann", "https://127.0.0.1/a.png", false, "Ann"},
        {"", "u", false, ""},                // an empty nick name is the empty text
        {"\xff\xfe", "u", true, QString()},  // no valid prefix: left unset
        {"Bo\xc3", "u", false, "Bo"},        // a cut last character is dropped
    };
    plat::LogCapture log;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.wantNick.toStdString());
        std::atomic<int> calls{0};
        QVNasServiceUserInfoPtr user;
        bool onMain = false;
        ASSERT_EQ(run([&](auto d) {
                      return broker().qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(
                          "auth0123456789",
                          [&](const QVNasServiceUserInfoPtr &u) {
                              user = u;
                              onMain = plat::isMainThread();
                              ++calls;
                          },
                          d);
                  })->responseCode,
                  0);
        fake->fireQrUser(c.nick, c.image);
        ASSERT_TRUE(spinUntil([&] { return calls.load() > 0; }));
        fake->fireQrUser(c.nick, c.image);
        drain();
        EXPECT_EQ(calls.load(), 1);
        EXPECT_TRUE(onMain);
        ASSERT_TRUE(user);
        EXPECT_EQ(user->nickname.isNull(), c.nickNull);
        EXPECT_EQ(user->nickname, c.wantNick);
        EXPECT_EQ(user->uesrImage, QString::fromUtf8(c.image));
    }
    for (const QString &line : log.lines()) {
        EXPECT_FALSE(line.contains("Ann")) << line.toStdString();
        EXPECT_FALSE(line.contains("a.png")) << line.toStdString();
    }
}

// A second create releases the first context instead of leaving it behind; a release while a start waits
// ends that start and frees the context only after the start returned.
TEST_F(QRFirmwareCommands, TheLoginContextIsReleasedOnceAndNeverUsedAfterItsRelease) {
    auto &b = broker();
    ASSERT_EQ(run([&](auto d) { return b.qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    QVSLRA *const first = fake->qrContext();
    ASSERT_EQ(run([&](auto d) { return b.qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    EXPECT_NE(fake->qrContext(), nullptr);
    EXPECT_EQ(fake->callsOf("ppc_qvsl_QVSLRA_release").size(), 1u);
    (void)first;

    fake->editQr([](auto &s) { s.holdQrStart = true; });
    auto start = std::make_shared<Answer>();
    b.qvNasQRCodeServiceStartRequestCompletion(start->completion());
    ASSERT_TRUE(fake->waitQrStartsHeld(1, 5000));
    const auto release = run([&](auto d) { return b.qvNasqvQRCodeServiceReleaseCompletion(d); });
    EXPECT_EQ(release->responseCode, 0);
    ASSERT_TRUE(start->wait());
    EXPECT_EQ(start->get()->responseCode, 120000);  // the stopped wait
    EXPECT_EQ(fake->qrContext(), nullptr);
    EXPECT_EQ(fake->qrStaleUses(), 0);

    // Stop while a start waits: only the flag; the context stays.
    ASSERT_EQ(run([&](auto d) { return b.qvNasQRCodeServiceCreateCompletion(d); })->responseCode, 0);
    auto again = std::make_shared<Answer>();
    b.qvNasQRCodeServiceStartRequestCompletion(again->completion());
    ASSERT_TRUE(fake->waitQrStartsHeld(1, 5000));
    EXPECT_EQ(run([&](auto d) { return b.qvNasQRCodeServiceStopRequestCompletion(d); })->responseCode, 0);
    ASSERT_TRUE(again->wait());
    EXPECT_EQ(again->get()->responseCode, 120000);
    EXPECT_NE(fake->qrContext(), nullptr);
    fake->editQr([](auto &s) { s.holdQrStart = false; });
}

// Many workers create, start, stop and release at once (the sanitizers watch the handle): nothing uses a
// freed context, and after a last release nothing is left.
TEST_F(QRFirmwareCommands, ConcurrentLifecycleRequestsNeverUseAFreedContext) {
    auto &b = broker();
    fake->editQr([](auto &s) { s.holdQrStart = true; });
    std::atomic<int> answered{0};
    const int rounds = 40;
    for (int i = 0; i < rounds; ++i) {
        QVNasCompletionBlock done = [&](const QVNasResponseInfoPtr &) { ++answered; };
        switch (i % 4) {
            case 0:
                b.qvNasQRCodeServiceCreateCompletion(done);
                break;
            case 1:
                b.qvNasQRCodeServiceStartRequestCompletion(done);
                break;
            case 2:
                b.qvNasQRCodeServiceStopRequestCompletion(done);
                break;
            default:
                b.qvNasqvQRCodeServiceReleaseCompletion(done);
                break;
        }
    }
    // Held starts end by a stop or a release; a later release ends any that came after the last of those.
    for (int i = 0; i < 100 && answered.load() < rounds; ++i) {
        spinUntil([&] { return answered.load() >= rounds; }, 200);
        if (answered.load() < rounds) b.qvNasqvQRCodeServiceReleaseCompletion({});
    }
    ASSERT_EQ(answered.load(), rounds);
    answerOf([&](auto d) { return b.qvNasqvQRCodeServiceReleaseCompletion(d); });
    EXPECT_EQ(fake->qrStaleUses(), 0);
    EXPECT_EQ(fake->qrContext(), nullptr);
    EXPECT_FALSE(bridge().hasQRCodeContext());
    fake->editQr([](auto &s) { s.holdQrStart = false; });
}

// ---- firmware progress ----

struct FirmwareProgress {
    std::mutex mu;
    std::vector<std::pair<int32_t, double>> seen;  // (request number, progress)
    std::atomic<bool> onMain{false};
    QVNasFirmwareProgressBlock block() {
        return [this](const QVNasRequestInfoPtr &r, double p) {
            if (plat::isMainThread()) onMain = true;
            std::lock_guard<std::mutex> l(mu);
            seen.emplace_back(r->clientCommandSeq, p);
        };
    }
    std::vector<std::pair<int32_t, double>> get() {
        std::lock_guard<std::mutex> l(mu);
        return seen;
    }
};

TEST_F(QRFirmwareCommands, UpdateReportsPercentsToItsOwnCallbackBeforeItsAnswer) {
    fake->editFirmware([](auto &s) { s.updateReports = {0, 20, 65}; });
    FirmwareProgress progress;
    std::vector<std::pair<int32_t, double>> atAnswer;
    QVNasRequestInfoPtr req;
    const auto r = run([&](QVNasCompletionBlock done) {
        return req = broker().qvNasSetOTA2UpgradeWithIp("127.0.0.2", progress.block(),
                                                        [&, done](const QVNasResponseInfoPtr &resp) {
                                                            atAnswer = progress.get();
                                                            done(resp);
                                                        });
    });
    EXPECT_EQ(r->responseCode, 0);
    const std::vector<std::pair<int32_t, double>> want = {{req->clientCommandSeq, 0},
                                                          {req->clientCommandSeq, 20},
                                                          {req->clientCommandSeq, 65},
                                                          {req->clientCommandSeq, 100}};
    EXPECT_EQ(atAnswer, want);
    EXPECT_FALSE(progress.onMain);
}

// Two follow-ups at once (two devices): each callback gets its own reports, as fractions; an update's
// reports meanwhile reach the update's callback.
TEST_F(QRFirmwareCommands, EachFollowUpReportsToItsOwnCallback) {
    auto &b = broker();
    fake->editFirmware([](auto &s) {
        s.listenRunning = true;
        s.holdListen = true;
        s.listenReports = {{10, 100}, {40, 100}};
        s.updateReports = {5};
    });
    FirmwareProgress one, two, update;
    auto a1 = std::make_shared<Answer>(), a2 = std::make_shared<Answer>(), a3 = std::make_shared<Answer>();
    const auto r1 = b.qvNasOTA2ListenWithIp("127.0.0.2", one.block(), a1->completion());
    const auto r2 = b.qvNasOTA2ListenWithIp("127.0.0.3", two.block(), a2->completion());
    ASSERT_TRUE(fake->waitListensHeld(2, 5000));
    const auto r3 = b.qvNasSetOTA2UpgradeWithIp("127.0.0.4", update.block(), a3->completion());
    ASSERT_TRUE(a3->wait());
    fake->editFirmware([](auto &s) { s.holdListen = false; });
    ASSERT_TRUE(a1->wait());
    ASSERT_TRUE(a2->wait());
    EXPECT_EQ(a1->get()->responseCode, 0);
    EXPECT_EQ(a2->get()->responseCode, 0);
    EXPECT_EQ(r1->clientCommand, 156);
    for (auto [seen, seq] :
         {std::pair{one.get(), r1->clientCommandSeq}, std::pair{two.get(), r2->clientCommandSeq}}) {
        ASSERT_EQ(seen.size(), 3u);
        const double want[] = {0.1, 0.4, 1.0};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(seen[i].first, seq);
            EXPECT_NEAR(seen[i].second, want[i], 1e-6);
        }
    }
    EXPECT_EQ(update.get(), (std::vector<std::pair<int32_t, double>>{{r3->clientCommandSeq, 5},
                                                                     {r3->clientCommandSeq, 100}}));
    drain();
    EXPECT_EQ(broker().progressCount(), 0);
}

TEST_F(QRFirmwareCommands, TheFirmwareServiceForwardsToItsBrokerRequests) {
    QVNasFWOTAService service;
    struct Case {
        std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)> send;
        int32_t command;
        const char *sdk;
    };
    const Case cases[] = {
        {[&](auto d) { return service.qvNasHasLatestFWVersionWithLanguage("de", "127.0.0.5", d); }, 153,
         "ppc_OTA2HasLatestVersion"},
        {[&](auto d) { return service.qvNasSetUpgradeWithIp("127.0.0.5", {}, d); }, 154, "qvota_update"},
        {[&](auto d) { return service.qvNasListenWithIp("127.0.0.5", {}, d); }, 156, "ota_listen"},
    };
    for (const Case &c : cases) {
        QVNasRequestInfoPtr req;
        const auto r = run([&](QVNasCompletionBlock d) { return req = c.send(std::move(d)); });
        EXPECT_EQ(req->clientCommand, c.command);
        EXPECT_EQ(req->clientCommandSeq, broker().lastSequenceNumber());
        EXPECT_EQ(r->clientCommand, c.command);
        const auto made = fake->callsOf(c.sdk);
        ASSERT_FALSE(made.empty());
        const auto &args = made.back().args;
        EXPECT_NE(std::find(args.begin(), args.end(), "127.0.0.5"), args.end());
    }
}

// ---- the device initialisation task ----

TEST_F(QRFirmwareCommands, AnInitTaskHandsReportsToItsListenerOnMainInOrder) {
    fake->editOutputs([](auto &o) {
        o.execReports = {{0, 0, 100}, {1, 30, 100}, {1, 70, 100}, {2, 100, 100}};
    });
    QVNasInitDeviceService service;
    EXPECT_EQ(service.getDeviceStatus([](const QVNasResponseInfoPtr &) { ADD_FAILURE() << "called"; }),
              nullptr);
    auto task = service.createInitDeviceTask(3001, "127.0.0.2");
    std::vector<std::tuple<int64_t, int32_t, int64_t>> seen;
    bool allOnMain = true;
    task->setTaskStatusListener([&](const QVNasExecTaskProgressInfoPtr &p) {
        allOnMain = allOnMain && plat::isMainThread();
        seen.emplace_back(p->deviceStatus, p->taskStatus, p->currentProgress);
    });
    auto a = std::make_shared<Answer>();
    task->startTask(a->completion());
    ASSERT_TRUE(a->wait());
    ASSERT_TRUE(spinUntil([&] { return seen.size() == 4; }));
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(a->get()->responseCode, 0);
    EXPECT_EQ(a->get()->clientCommand, 173);
    EXPECT_EQ(seen, (std::vector<std::tuple<int64_t, int32_t, int64_t>>{
                        {3001, 0, 0}, {3001, 1, 30}, {3001, 1, 70}, {3001, 2, 100}}));
    const auto exec = fake->callsOf("ppc_router_DeviceExec");
    ASSERT_FALSE(exec.empty());
    EXPECT_EQ(exec.back().args[1], "3001");
    EXPECT_EQ(exec.back().args[2], "127.0.0.2");
}

TEST_F(QRFirmwareCommands, AReleasedInitTaskGetsNoReportsAndItsCompletionStillRuns) {
    fake->editOutputs([](auto &o) { o.execReports = {{1, 50, 100}}; });
    fake->holdExec(true);
    auto task = QVNasInitDeviceService().createInitDeviceTask(1000, "127.0.0.2");
    auto reports = std::make_shared<std::atomic<int>>(0);
    task->setTaskStatusListener([reports](const QVNasExecTaskProgressInfoPtr &) { ++*reports; });
    auto a = std::make_shared<Answer>();
    task->startTask(a->completion());
    ASSERT_TRUE(fake->waitExecsHeld(1, 5000));
    std::weak_ptr<QVNasInitDeviceTaskManage> weak = task;
    task.reset();
    EXPECT_TRUE(weak.expired());
    fake->holdExec(false);
    ASSERT_TRUE(a->wait());
    drain();
    drain();
    EXPECT_EQ(reports->load(), 0);
    EXPECT_EQ(a->get()->clientCommand, 173);
}

}  // namespace
