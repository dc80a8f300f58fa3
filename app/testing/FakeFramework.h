// A scripted framework for app tests: every service operation is recorded and answered from a script, on
// the main queue after the call has returned (at once, after a delay, or held until the test releases
// it). Install it with QVSingletonInterfaceManage::sharedManager().setFramework(&fake).
//
// Scripting is by operation name, the method's name ("qvNasGetFileListWithStartIndex"): answers queued
// with script() are used in order, then the operation's default (setDefaultAnswer), else code 0 without
// data. Search batches and copy/move progress ride on the answer; the connect service's callbacks, the
// device login and the QR-code and delegate pushes are fired from scripts or by the test.
#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "service/QVNasClientMacFramework.h"

struct FakeBatch {
    QList<QVNasFileInfoPtr> files;
    int32_t status = 1;  // 1 results, 2 the end
};

struct FakeAnswer {
    int64_t responseCode = 0;
    QString responseMessage;
    QVariant responseData;
    int delayMs = 0;    // 0: the next turn of the main queue
    bool hold = false;  // kept until releaseHeld()
    // Search (130): delivered to the batch callback on the main thread before the completion.
    QList<FakeBatch> batches;
    // Copy and move (135, 136): delivered to the progress callback on a work-pool thread, in order, before
    // the completion. Firmware update (154) and device tasks (173): `fractions` on the main thread.
    QList<QVNasOperateProgressInfoPtr> progress;
    QList<double> fractions;

    // Builders: FakeAnswer().withCode(110001).withDelay(50).
    FakeAnswer withCode(int64_t c) const {
        return with([&](FakeAnswer &a) { a.responseCode = c; });
    }
    FakeAnswer withMessage(const QString &m) const {
        return with([&](FakeAnswer &a) { a.responseMessage = m; });
    }
    FakeAnswer withData(const QVariant &d) const {
        return with([&](FakeAnswer &a) { a.responseData = d; });
    }
    FakeAnswer withDelay(int ms) const {
        return with([&](FakeAnswer &a) { a.delayMs = ms; });
    }
    FakeAnswer held() const {
        return with([](FakeAnswer &a) { a.hold = true; });
    }
    FakeAnswer withBatches(const QList<FakeBatch> &b) const {
        return with([&](FakeAnswer &a) { a.batches = b; });
    }
    FakeAnswer withProgress(const QList<QVNasOperateProgressInfoPtr> &p) const {
        return with([&](FakeAnswer &a) { a.progress = p; });
    }
    FakeAnswer withFractions(const QList<double> &f) const {
        return with([&](FakeAnswer &a) { a.fractions = f; });
    }

  private:
    template <typename F>
    FakeAnswer with(F f) const {
        FakeAnswer a = *this;
        f(a);
        return a;
    }
};

struct FakeCall {
    QString method;
    QVariantList args;  // the arguments in order; models as their Ptr, callbacks left out
};

// What a connect does: connected, an error type with its message, or nothing.
struct FakeConnectOutcome {
    enum Kind { Connected, Error, Silent } kind = Connected;
    int64_t failType = 0;
    QString message;
};

class FakeFrameworkState;
using FakeFrameworkStatePtr = std::shared_ptr<FakeFrameworkState>;

class FakeFramework final : public QVNasClientMacFramework {
  public:
    FakeFramework();
    ~FakeFramework() override;

    // ---- script ----
    void script(const QString &method, const FakeAnswer &answer);
    void setDefaultAnswer(const QString &method, const FakeAnswer &answer);
    void scriptConnect(const FakeConnectOutcome &outcome);  // used in order; then Connected
    void setModuleSupport(const QSet<int64_t> &moduleTypes);
    // The file address answers "/<bucket>/<path, percent-encoded>?KID=<token>&ssig=abcdefghij"; "" for an
    // empty path or token 0 (the default).
    void setSessionToken(int64_t token);
    // Marks the service started (as a start answered 0 does) or not.
    void setStarted(bool started) { setIsStartService(started); }

    // ---- calls ----
    QList<FakeCall> calls() const;
    QStringList callNames() const;
    int callCount(const QString &method) const;
    FakeCall lastCall(const QString &method) const;  // empty method name when never called
    void clearCalls();

    // ---- held answers ----
    int heldCount() const;
    // Delivers the oldest held answer of `method` (any method when empty); false when none is held.
    bool releaseHeld(const QString &method = {});
    void releaseAllHeld();

    // ---- pushes, fired on the main thread by the test ----
    void fireDisconnected();                                         // the connect service's dropped callback
    void fireAuthCode(const QString &refreshToken, int64_t expiry);  // the 336 handler, once
    void fireScanUserInfo(const QVNasServiceUserInfoPtr &user);      // the 337 handler, once
    void fireUSBBackupInfoListChange(const QList<QVNasUSBInfoPtr> &list);
    void fireUserStatusChanged(int32_t status);

    // ---- QVNasClientMacFramework ----
    void qvSdkStartService(QVNasCompletionBlock completion) override;
    void qvSdkStopService(QVNasCompletionBlock completion) override;
    QVNasAccountServicePtr createAccountService() override;
    QVNasUserServicePtr createUserServiceByAccessToken(const QString &accessToken) override;
    QVNasDeviceConnectServicePtr createDeviceConnectServiceByUserService(
        const QVNasUserServicePtr &userService, const QString &bcCode) override;
    QVNasDeviceConnectServicePtr createDeviceConnectServiceByUserService(
        const QVNasUserServicePtr &userService, const QVNasDeviceInfoPtr &deviceInfo) override;

    // The services made so far (empty lists before the factories ran).
    QList<QVNasAccountServicePtr> accountServices() const;
    QList<QVNasUserServicePtr> userServices() const;
    QList<QVNasDeviceConnectServicePtr> deviceConnectServices() const;

    const FakeFrameworkStatePtr &state() const { return m_state; }

  private:
    FakeFrameworkStatePtr m_state;
};
