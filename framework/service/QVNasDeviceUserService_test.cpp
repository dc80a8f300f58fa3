// The device user service over the scripted SDK: the login's two requests and its error types, a second
// login while one runs, a failed registration, logout in every state, and the forwarders.
#include "service/QVNasDeviceUserService.h"

#include <gtest/gtest.h>

#include <thread>

#include "broker/broker_test_util.h"
#include "platform/Log.h"
#include "platform/SecretStore.h"

using namespace fwtest;

namespace {

// What the two login callbacks heard.
struct LoginOutcome {
    QList<int64_t> tokens;
    QList<int64_t> types;
    bool allOnMain = true;
    int count() const { return static_cast<int>(tokens.size() + types.size()); }
};

class DeviceUserService : public ServiceOnFake {
  protected:
    void SetUp() override {
        plat::SecretStore::setShared(store);
        ServiceOnFake::SetUp();
        filed = broker().completionCount();
        fake->editOutputs([](FakeDeviceSdk::Outputs &o) { o.loginToken = 0x1234567890LL; });
        service = std::make_shared<QVNasDeviceUserService>();
        service->qvNasSetLoginDeviceListener(
            [this](int64_t token) {
                outcome.tokens.append(token);
                outcome.allOnMain = outcome.allOnMain && plat::isMainThread();
            },
            [this](int64_t type) {
                outcome.types.append(type);
                outcome.allOnMain = outcome.allOnMain && plat::isMainThread();
            });
    }
    void TearDown() override {
        service.reset();
        ServiceOnFake::TearDown();
        plat::SecretStore::setShared(nullptr);
    }
    // Logs in and waits for one of the two callbacks.
    void login() {
        const int before = outcome.count();
        service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"), QStringLiteral("AUTH-0001"));
        ASSERT_TRUE(spinUntil([&] { return outcome.count() > before; }));
    }
    // Spins until every request this test sent has been answered (earlier tests may leave listeners
    // filed).
    void settle() {
        ASSERT_TRUE(spinUntil([this] { return broker().completionCount() <= filed; }));
        drain();
    }
    size_t callsOf(const char *fn) const { return fake->callsOf(fn).size(); }

    std::shared_ptr<plat::InMemorySecretStore> store = std::make_shared<plat::InMemorySecretStore>();
    QVNasDeviceUserServicePtr service;
    LoginOutcome outcome;
    int filed = 0;
};

TEST_F(DeviceUserService, LoginSendsLoginThenRegistrationAndReportsTheToken) {
    login();
    ASSERT_EQ(outcome.tokens, QList<int64_t>{0x1234567890LL});
    EXPECT_TRUE(outcome.types.isEmpty());
    EXPECT_TRUE(outcome.allOnMain);
    EXPECT_TRUE(service->isLoginDevice());
    EXPECT_EQ(service->deviceToken(), 0x1234567890LL);
    const auto logins = fake->callsOf("ppc_login_by_authcode");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].args[0], "AUTH-0001");
    EXPECT_EQ(logins[0].args[1], "10.1.2.40");
    // The registration goes out with the new session's token.
    const auto registrations = fake->callsOf("ppc_device_register");
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].args[2], std::to_string(0x1234567890LL));
}

struct FailureCase {
    const char *name;
    const char *fn;  // the SDK call that fails
    int result;
    int64_t type;
    size_t logouts;  // a session opened by the login is closed again
};
const FailureCase kFailures[] = {
    {"no such user", "ppc_login_by_authcode", 13002, 2, 0},
    {"other device error", "ppc_login_by_authcode", 5, 1, 0},
    {"socket error", "ppc_login_by_authcode", -3, 1, 0},
    {"registration refused", "ppc_device_register", 1, 1, 1},
};

TEST_F(DeviceUserService, FailuresReachTheErrorCallbackAsTypes) {
    for (const auto &c : kFailures) {
        SCOPED_TRACE(c.name);
        const size_t logoutsBefore = callsOf("ppc_logout");
        fake->script(c.fn, c.result);
        login();
        settle();
        EXPECT_EQ(outcome.types.value(outcome.types.size() - 1), c.type);
        EXPECT_TRUE(outcome.tokens.isEmpty());
        EXPECT_FALSE(service->isLoginDevice());
        EXPECT_EQ(service->deviceToken(), 0);
        EXPECT_EQ(callsOf("ppc_logout") - logoutsBefore, c.logouts);
        fake->script(c.fn, 0);
    }
    EXPECT_TRUE(outcome.allOnMain);
    // A failed login leaves the service logged out: the next one goes through.
    login();
    EXPECT_EQ(outcome.tokens.size(), 1);
}

// The login's answer code 1 (type 3) cannot come from the bridge, which adds 100000 to every positive
// code; the mapping is tested on the answer itself.
TEST_F(DeviceUserService, AnswerCodeOneIsTypeThree) {
    struct Probe : QVNasDeviceUserService {
        using QVNasDeviceUserService::qvLoginDeviceFinish;
        void loggingIn() {
            std::lock_guard lock(m_mu);
            m_loginState = LoginState::LoggingIn;
            m_attempt = 7;
        }
    };
    auto probe = std::make_shared<Probe>();
    int64_t type = 0;
    probe->qvNasSetLoginDeviceListener({}, [&](int64_t t) { type = t; });
    probe->loggingIn();
    auto r = std::make_shared<QVNasResponseInfo>();
    r->clientCommand = 13;
    r->responseCode = 1;
    probe->qvLoginDeviceFinish(7, r);
    EXPECT_EQ(type, 3);
    EXPECT_FALSE(probe->isLoginDevice());
}

TEST_F(DeviceUserService, ASecondLoginWhileLoggingInOrLoggedInSendsNothing) {
    QList<int64_t> early;
    service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"), QStringLiteral("AUTH-0001"));
    // Still waiting for the first answer: answered at once, on this thread.
    service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"), QStringLiteral("AUTH-0001"));
    EXPECT_EQ(outcome.types, QList<int64_t>{4});
    ASSERT_TRUE(spinUntil([&] { return outcome.tokens.size() == 1; }));
    service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"), QStringLiteral("AUTH-0001"));
    settle();
    EXPECT_EQ(outcome.types, (QList<int64_t>{4, 4}));
    EXPECT_EQ(outcome.tokens.size(), 1);
    EXPECT_EQ(callsOf("ppc_login_by_authcode"), 1u);
    EXPECT_EQ(callsOf("ppc_device_register"), 1u);
}

TEST_F(DeviceUserService, ARetryFromTheErrorCallbackWaitsForTheFailedSessionsLogout) {
    fake->script("ppc_device_register", 1);
    bool retried = false;
    service->qvNasSetLoginDeviceListener([&](int64_t token) { outcome.tokens.append(token); },
                                         [&](int64_t type) {
                                             outcome.types.append(type);
                                             if (retried) return;
                                             retried = true;
                                             fake->script("ppc_device_register", 0);
                                             service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"),
                                                                             QStringLiteral("AUTH-0001"));
                                         });
    service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"), QStringLiteral("AUTH-0001"));
    ASSERT_TRUE(spinUntil([&] { return outcome.tokens.size() == 1; }));
    settle();
    EXPECT_EQ(outcome.types, QList<int64_t>{1});
    EXPECT_TRUE(service->isLoginDevice());
    // login, register (refused), logout, then the retry's login and register: never the logout after.
    std::vector<std::string> order;
    for (const auto &c : fake->calls())
        if (c.fn == "ppc_login_by_authcode" || c.fn == "ppc_device_register" || c.fn == "ppc_logout")
            order.push_back(c.fn);
    EXPECT_EQ(order, (std::vector<std::string>{"ppc_login_by_authcode", "ppc_device_register", "ppc_logout",
                                               "ppc_login_by_authcode", "ppc_device_register"}));
}

TEST_F(DeviceUserService, LogoutInEachState) {
    // Logged out: {14, 0} before the call returns, on this thread, nothing sent.
    QVNasResponseInfoPtr atOnce;
    service->qvNasLogoutDevice([&](const QVNasResponseInfoPtr &r) { atOnce = r; });
    ASSERT_TRUE(atOnce);
    EXPECT_EQ(atOnce->clientCommand, 14);
    EXPECT_EQ(atOnce->responseCode, 0);
    EXPECT_EQ(callsOf("ppc_logout"), 0u);

    // Logged in: the state ends before 14 is sent, so a second logout answers at once.
    login();
    auto sent = std::make_shared<Answer>();
    service->qvNasLogoutDevice(sent->completion());
    EXPECT_FALSE(service->isLoginDevice());
    EXPECT_EQ(service->deviceToken(), 0);
    QVNasResponseInfoPtr second;
    service->qvNasLogoutDevice([&](const QVNasResponseInfoPtr &r) { second = r; });
    ASSERT_TRUE(second);
    ASSERT_TRUE(sent->wait());
    EXPECT_EQ(sent->get()->clientCommand, 14);
    EXPECT_EQ(sent->get()->responseCode, 0);
    settle();
    ASSERT_EQ(callsOf("ppc_logout"), 1u);
    EXPECT_EQ(fake->callsOf("ppc_logout")[0].args[0], std::to_string(0x1234567890LL));

    // Logging in: answered at once; the session the login then opens is closed and nobody is called.
    const int heard = outcome.count();
    service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"), QStringLiteral("AUTH-0001"));
    QVNasResponseInfoPtr during;
    service->qvNasLogoutDevice([&](const QVNasResponseInfoPtr &r) { during = r; });
    ASSERT_TRUE(during);
    EXPECT_EQ(during->responseCode, 0);
    ASSERT_TRUE(spinUntil([&] { return callsOf("ppc_logout") == 2; }));
    settle();
    EXPECT_EQ(outcome.count(), heard);
    EXPECT_FALSE(service->isLoginDevice());
    EXPECT_EQ(callsOf("ppc_device_register"), 1u);
}

TEST_F(DeviceUserService, ADestroyedServiceIgnoresItsLoginsAnswer) {
    service->qvNasLoginDeviceWithIp(QStringLiteral("10.1.2.40"), QStringLiteral("AUTH-0001"));
    service.reset();
    settle();
    EXPECT_EQ(outcome.count(), 0);
    EXPECT_EQ(callsOf("ppc_device_register"), 0u);
}

TEST_F(DeviceUserService, ForwardersReachTheirCommands) {
    login();
    fake->editOutputs([](FakeDeviceSdk::Outputs &o) {
        o.version = "2.4.1";
        o.nickName = "Attic";
        o.modules = {{7, 1}, {8, 0}};
    });
    struct Row {
        int32_t command;
        std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)> send;
    };
    const Row rows[] = {
        {18, [&](auto d) { return service->qvNasGetDeviceVersion(d); }},
        {118, [&](auto d) { return service->qvNasGetDeviceInfo(d); }},
        {117, [&](auto d) { return service->qvNasGetUserSpaceInfo(d); }},
        {151, [&](auto d) { return service->qvNasGetDeviceNickName(d); }},
        {152, [&](auto d) { return service->qvNasSetDeviceNickName(QStringLiteral("Cellar"), d); }},
        {150, [&](auto d) { return service->qvNasGetP2PInfoWithCompletion(d); }},
        {50,
         [&](auto d) {
             service->qvNasGetDeviceUserInfoList(d);
             return QVNasRequestInfoPtr();
         }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command);
        auto a = std::make_shared<Answer>();
        const QVNasRequestInfoPtr handle = row.send(a->completion());
        if (handle) {
            EXPECT_EQ(handle->clientCommand, row.command);
        }
        ASSERT_TRUE(a->wait());
        EXPECT_EQ(a->get()->clientCommand, row.command);
        EXPECT_EQ(a->get()->responseCode, 0);
        if (row.command == 18) {
            EXPECT_EQ(a->get()->responseData.toString(), "2.4.1");
        }
        if (row.command == 151) {
            EXPECT_EQ(a->get()->responseData.toString(), "Attic");
        }
    }
    EXPECT_EQ(fake->callsOf("ppc_SetDeviceNickName").at(0).args.at(0), "Cellar");
    EXPECT_TRUE(service->qvNasGetModuleSupportFlag(7));
    EXPECT_FALSE(service->qvNasGetModuleSupportFlag(8));
    EXPECT_FALSE(service->qvNasGetModuleSupportFlag(9));
}

TEST_F(DeviceUserService, NoAuthCodeOrTokenInTheLog) {
    plat::LogCapture log;
    login();
    fake->script("ppc_login_by_authcode", 13002);
    service->qvNasLogoutDevice({});
    login();
    settle();
    const QString text = log.lines().join('\n');
    EXPECT_FALSE(text.contains(QStringLiteral("AUTH-0001")));
    EXPECT_FALSE(text.contains(QString::number(0x1234567890LL)));
    EXPECT_TRUE(text.contains(QStringLiteral("login device error : 113002")));
}

}  // namespace
