#include "testing/FakeFramework.h"

#include <QCoreApplication>
#include <QTimer>

#include "platform/MainQueue.h"
#include "platform/WorkPool.h"

// ---------------------------------------------------------------------------------------------------
// The state every fake service shares.

class FakeFrameworkState final : public std::enable_shared_from_this<FakeFrameworkState> {
  public:
    explicit FakeFrameworkState(FakeFramework *fw) : framework(fw) {}

    FakeFramework *framework;
    mutable std::mutex mu;
    QMap<QString, QList<FakeAnswer>> scripted;
    QMap<QString, FakeAnswer> defaults;
    QList<FakeConnectOutcome> connects;
    QSet<int64_t> modules;
    int64_t token = 0;
    QList<FakeCall> calls;
    struct Held {
        QString method;
        std::function<void()> deliver;
    };
    QList<Held> held;
    int32_t seq = 20480;
    QMap<int32_t, QVNasResultBatchBlock> searches;
    QMap<int32_t, QVNasCopyMoveProgressBlock> operations;
    QVNasRefreshTokenBlock authCodeHandler;
    QVNasServiceUserBlock userInfoHandler;

    void record(const QString &method, const QVariantList &args) {
        std::lock_guard lock(mu);
        calls.append({method, args});
    }
    FakeAnswer next(const QString &method) {
        std::lock_guard lock(mu);
        auto it = scripted.find(method);
        if (it != scripted.end() && !it->isEmpty()) return it->takeFirst();
        return defaults.value(method);
    }
    QVNasRequestInfoPtr request(int32_t command) {
        auto r = std::make_shared<QVNasRequestInfo>();
        r->clientCommand = command;
        std::lock_guard lock(mu);
        r->clientCommandSeq = ++seq;
        return r;
    }
    // Runs `deliver` on the main thread as the answer says: held, after a delay, or on the next turn.
    void schedule(const QString &method, const FakeAnswer &a, std::function<void()> deliver) {
        if (a.hold) {
            std::lock_guard lock(mu);
            held.append({method, std::move(deliver)});
            return;
        }
        const int delay = a.delayMs;
        plat::MainQueue::post([delay, deliver = std::move(deliver)] {
            if (delay <= 0)
                deliver();
            else
                QTimer::singleShot(delay, QCoreApplication::instance(), deliver);
        });
    }
    static QVNasResponseInfoPtr response(int32_t command, const FakeAnswer &a) {
        auto r = std::make_shared<QVNasResponseInfo>();
        r->clientCommand = command;
        r->responseCode = a.responseCode;
        r->responseMessage = a.responseMessage;
        r->responseData = a.responseData;
        return r;
    }
    // The common road: record, take the answer, deliver it to the completion later.
    QVNasRequestInfoPtr answer(const QString &method, int32_t command, const QVariantList &args,
                               QVNasCompletionBlock completion) {
        record(method, args);
        const FakeAnswer a = next(method);
        auto req = request(command);
        schedule(method, a, [command, a, completion = std::move(completion)] {
            if (completion) completion(response(command, a));
        });
        return req;
    }
};

namespace {

template <typename T>
QVariant v(const T &x) {
    return QVariant::fromValue(x);
}

// ---------------------------------------------------------------------------------------------------
// The services.

class FakeAccountService final : public QVNasAccountService {
  public:
    explicit FakeAccountService(FakeFrameworkStatePtr s) : m_s(std::move(s)) {}
    void qvNasGetRefreshTokenByServiceUserInfo(const QVNasServiceUserInfoPtr &info,
                                               QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetRefreshTokenByServiceUserInfo", 0, {v(info)}, std::move(c));
    }
    void qvNasGetAccessTokenByRefreshToken(const QString &token, QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetAccessTokenByRefreshToken", 0, {token}, std::move(c));
    }

  private:
    FakeFrameworkStatePtr m_s;
};

class FakeUserService final : public QVNasUserService {
  public:
    FakeUserService(FakeFrameworkStatePtr s, const QString &token)
        : QVNasUserService(token), m_s(std::move(s)) {}
    void setAccessToken(const QString &token) override {
        m_s->record("setAccessToken", {token});
        QVNasUserService::setAccessToken(token);
    }
    void qvNasGetUserInfo(QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetUserInfo", 0, {}, std::move(c));
    }
    void qvNasAddUserStatusChangedListenWithServiceUserId(const QString &id,
                                                          QVNasCompletionBlock c) override {
        m_s->answer("qvNasAddUserStatusChangedListenWithServiceUserId", 157, {id}, std::move(c));
    }
    void qvNasGetBindDeviceInfoList(QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetBindDeviceInfoList", 0, {}, std::move(c));
    }
    void qvNasGetCanBindDeviceList(QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetCanBindDeviceList", 3, {}, std::move(c));
    }
    void qvNasUnbindDevice(const QVNasDeviceInfoPtr &d, QVNasCompletionBlock c) override {
        m_s->answer("qvNasUnbindDevice", 0, {v(d)}, std::move(c));
    }

  private:
    FakeFrameworkStatePtr m_s;
};

class FakeStorageService final : public QVNasStorageService {
  public:
    explicit FakeStorageService(FakeFrameworkStatePtr s) : m_s(std::move(s)) {}
    QVNasRequestInfoPtr qvNasGetFileListWithStartIndex(int32_t start, int32_t count,
                                                       const QVNasPathInfoPtr &p, int64_t seq,
                                                       QVNasCompletionBlock c) override {
        return m_s->answer("qvNasGetFileListWithStartIndex", 61, {start, count, v(p), qint64(seq)},
                           std::move(c));
    }
    QVNasRequestInfoPtr qvNasGetHideSpaceFileListByStartIndex(int32_t start, int32_t count,
                                                              const QVNasPathInfoPtr &p, int64_t seq,
                                                              QVNasCompletionBlock c) override {
        return m_s->answer("qvNasGetHideSpaceFileListByStartIndex", 184, {start, count, v(p), qint64(seq)},
                           std::move(c));
    }
    QVNasRequestInfoPtr qvNasIsExistedWithPathInfo(const QVNasPathInfoPtr &p,
                                                   QVNasCompletionBlock c) override {
        return m_s->answer("qvNasIsExistedWithPathInfo", 64, {v(p)}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasCreateFolderWithPathInfo(const QVNasPathInfoPtr &p,
                                                      QVNasCompletionBlock c) override {
        return m_s->answer("qvNasCreateFolderWithPathInfo", 62, {v(p)}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasRenameFileWithFromPathInfo(const QVNasPathInfoPtr &from,
                                                        const QVNasPathInfoPtr &to,
                                                        QVNasCompletionBlock c) override {
        return m_s->answer("qvNasRenameFileWithFromPathInfo", 63, {v(from), v(to)}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasSearchForMultiWithSearchTitle(const QStringList &titles, int64_t type,
                                                           int64_t seq, QVNasResultBatchBlock receive,
                                                           QVNasCompletionBlock c) override {
        const QString m = "qvNasSearchForMultiWithSearchTitle";
        m_s->record(m, {titles, qint64(type), qint64(seq)});
        const FakeAnswer a = m_s->next(m);
        auto req = m_s->request(130);
        {
            std::lock_guard lock(m_s->mu);
            m_s->searches.insert(req->clientCommandSeq, std::move(receive));
        }
        auto s = m_s;
        m_s->schedule(m, a, [s, req, a, c = std::move(c)] {
            for (const FakeBatch &b : a.batches) {
                QVNasResultBatchBlock cb;
                {
                    std::lock_guard lock(s->mu);
                    cb = s->searches.value(req->clientCommandSeq);
                }
                if (cb) cb(req, b.files, b.status);  // looked up per batch: a close stops the rest
            }
            {
                std::lock_guard lock(s->mu);
                s->searches.remove(req->clientCommandSeq);
            }
            if (c) c(FakeFrameworkState::response(130, a));
        });
        return req;
    }
    QVNasRequestInfoPtr qvNasCloseSearchForMultiRequest(const QVNasRequestInfoPtr &r,
                                                        QVNasCompletionBlock c) override {
        if (r) {
            std::lock_guard lock(m_s->mu);
            m_s->searches.remove(r->clientCommandSeq);
        }
        return m_s->answer("qvNasCloseSearchForMultiRequest", 131, {v(r)}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasGetFileAttrWithPathInfo(const QVNasPathInfoPtr &p,
                                                     QVNasCompletionBlock c) override {
        return m_s->answer("qvNasGetFileAttrWithPathInfo", 70, {v(p)}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasCopyToWithFromInfo(const QVNasPathInfoPtr &from, const QVNasPathInfoPtr &to,
                                                QVNasCopyMoveProgressBlock progress,
                                                QVNasCompletionBlock c) override {
        return operate("qvNasCopyToWithFromInfo", 135, from, to, std::move(progress), std::move(c));
    }
    QVNasRequestInfoPtr qvNasMoveToWithFromInfo(const QVNasPathInfoPtr &from, const QVNasPathInfoPtr &to,
                                                QVNasCopyMoveProgressBlock progress,
                                                QVNasCompletionBlock c) override {
        return operate("qvNasMoveToWithFromInfo", 136, from, to, std::move(progress), std::move(c));
    }
    void qvNasCancelOperateTaskWithRequest(const QVNasRequestInfoPtr &r, QVNasCompletionBlock c) override {
        if (r) {
            std::lock_guard lock(m_s->mu);
            m_s->operations.remove(r->clientCommandSeq);
        }
        m_s->answer("qvNasCancelOperateTaskWithRequest", 137, {v(r)}, std::move(c));
    }
    QString qvNasGetFileUriByToken(const QVNasPathInfoPtr &p) override {
        m_s->record("qvNasGetFileUriByToken", {v(p)});
        int64_t token;
        {
            std::lock_guard lock(m_s->mu);
            token = m_s->token;
        }
        if (!p || p->operatePath.isEmpty() || token == 0) return QStringLiteral("");
        QString path = p->operatePath;
        if (path.startsWith('/')) path.remove(0, 1);
        const QByteArray enc = path.toUtf8().toPercentEncoding("*/", "~");
        return "/" + QString::number(p->operateBucketId) + "/" + QString::fromLatin1(enc) +
               "?KID=" + QString::number(token) + "&ssig=abcdefghij";
    }
    QVNasRequestInfoPtr qvNasGetHideSpaceEnable(QVNasCompletionBlock c) override {
        return m_s->answer("qvNasGetHideSpaceEnable", 175, {}, std::move(c));
    }
    void qvNasTurnOnHideSpace(QVNasCompletionBlock c) override {
        m_s->answer("qvNasTurnOnHideSpace", 176, {}, std::move(c));
    }
    void qvNasGetHideSpacePasswordStatus(QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetHideSpacePasswordStatus", 177, {}, std::move(c));
    }
    void qvNasSetHideSpacePassword(const QString &pw, QVNasCompletionBlock c) override {
        m_s->answer("qvNasSetHideSpacePassword", 178, {pw}, std::move(c));
    }
    void qvNasGetHideSpaceInfo(QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetHideSpaceInfo", 183, {}, std::move(c));
    }

  private:
    QVNasRequestInfoPtr operate(const QString &m, int32_t command, const QVNasPathInfoPtr &from,
                                const QVNasPathInfoPtr &to, QVNasCopyMoveProgressBlock progress,
                                QVNasCompletionBlock c) {
        m_s->record(m, {v(from), v(to)});
        const FakeAnswer a = m_s->next(m);
        auto req = m_s->request(command);
        {
            std::lock_guard lock(m_s->mu);
            m_s->operations.insert(req->clientCommandSeq, std::move(progress));
        }
        auto s = m_s;
        m_s->schedule(m, a, [s, req, a, command, c = std::move(c)] {
            // Progress on a worker thread, as the framework reports it; then the answer on main.
            plat::WorkPool::global().async([s, req, a, command, c] {
                for (const QVNasOperateProgressInfoPtr &p : a.progress) {
                    QVNasCopyMoveProgressBlock cb;
                    {
                        std::lock_guard lock(s->mu);
                        cb = s->operations.value(req->clientCommandSeq);
                    }
                    if (cb) cb(req, p);
                }
                {
                    std::lock_guard lock(s->mu);
                    s->operations.remove(req->clientCommandSeq);
                }
                plat::MainQueue::post([a, command, c] {
                    if (c) c(FakeFrameworkState::response(command, a));
                });
            });
        });
        return req;
    }
    FakeFrameworkStatePtr m_s;
};

class FakeDeviceUserService final : public QVNasDeviceUserService {
  public:
    explicit FakeDeviceUserService(FakeFrameworkStatePtr s) : m_s(std::move(s)) {}
    void qvNasLoginDeviceWithIp(const QString &ip, const QString &authCode) override {
        const QString m = "qvNasLoginDeviceWithIp";
        m_s->record(m, {ip, authCode});
        const FakeAnswer a = m_s->next(m);
        QVNasLoginDeviceListenerBlock ok;
        QVNasLoginDeviceErrorBlock err;
        {
            std::lock_guard lock(m_mu);
            ok = m_loginListener;
            err = m_loginError;
        }
        // Code 0: the listener with responseData as the session token; else the error with the code as type.
        m_s->schedule(m, a, [a, ok, err] {
            if (a.responseCode == 0) {
                if (ok) ok(a.responseData.toLongLong());
            } else if (err) {
                err(a.responseCode);
            }
        });
    }
    void qvNasGetDeviceUserInfoList(QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetDeviceUserInfoList", 50, {}, std::move(c));
    }
    void qvNasLogoutDevice(QVNasCompletionBlock c) override {
        m_s->answer("qvNasLogoutDevice", 14, {}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasGetDeviceVersion(QVNasCompletionBlock c) override {
        return m_s->answer("qvNasGetDeviceVersion", 18, {}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasGetUserSpaceInfo(QVNasCompletionBlock c) override {
        return m_s->answer("qvNasGetUserSpaceInfo", 117, {}, std::move(c));
    }
    bool qvNasGetModuleSupportFlag(int64_t type) override {
        m_s->record("qvNasGetModuleSupportFlag", {qint64(type)});
        std::lock_guard lock(m_s->mu);
        return m_s->modules.contains(type);
    }
    QVNasStorageServicePtr qVNasStorageService() override {
        std::lock_guard lock(m_mu);
        if (!m_storageService) m_storageService = std::make_shared<FakeStorageService>(m_s);
        return m_storageService;
    }

  private:
    FakeFrameworkStatePtr m_s;
};

class FakeDeviceManagerService final : public QVNasDeviceManagerService {
  public:
    explicit FakeDeviceManagerService(FakeFrameworkStatePtr s) : m_s(std::move(s)) {}
    QVNasRequestInfoPtr qvNasQRCodeServiceInitCompletion(QVNasCompletionBlock c) override {
        return m_s->answer("qvNasQRCodeServiceInitCompletion", 332, {}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasQRCodeServiceCreateCompletion(QVNasCompletionBlock c) override {
        return m_s->answer("qvNasQRCodeServiceCreateCompletion", 333, {}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasQRCodeServiceStartRequestCompletion(QVNasCompletionBlock c) override {
        return m_s->answer("qvNasQRCodeServiceStartRequestCompletion", 334, {}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId(const QString &authId,
                                                                           QVNasRefreshTokenBlock h,
                                                                           QVNasCompletionBlock c) override {
        {
            std::lock_guard lock(m_s->mu);
            m_s->authCodeHandler = std::move(h);  // the newest registration wins
        }
        return m_s->answer("qvNasqvQRCodeServiceOpenAuthCodeListenerWithAuthId", 336, {authId}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId(const QString &authId,
                                                                           QVNasServiceUserBlock h,
                                                                           QVNasCompletionBlock c) override {
        {
            std::lock_guard lock(m_s->mu);
            m_s->userInfoHandler = std::move(h);
        }
        return m_s->answer("qvNasqvQRCodeServiceOpenUserInfoListenerWithAuthId", 337, {authId}, std::move(c));
    }

  private:
    FakeFrameworkStatePtr m_s;
};

class FakeFWOTAService final : public QVNasFWOTAService {
  public:
    explicit FakeFWOTAService(FakeFrameworkStatePtr s) : m_s(std::move(s)) {}
    QVNasRequestInfoPtr qvNasHasLatestFWVersionWithLanguage(const QString &language, const QString &ip,
                                                            QVNasCompletionBlock c) override {
        return m_s->answer("qvNasHasLatestFWVersionWithLanguage", 153, {language, ip}, std::move(c));
    }
    QVNasRequestInfoPtr qvNasSetUpgradeWithIp(const QString &ip, QVNasFirmwareProgressBlock progress,
                                              QVNasCompletionBlock c) override {
        const QString m = "qvNasSetUpgradeWithIp";
        m_s->record(m, {ip});
        const FakeAnswer a = m_s->next(m);
        auto req = m_s->request(154);
        m_s->schedule(m, a, [req, a, progress = std::move(progress), c = std::move(c)] {
            for (double f : a.fractions)
                if (progress) progress(req, f);
            if (c) c(FakeFrameworkState::response(154, a));
        });
        return req;
    }

  private:
    FakeFrameworkStatePtr m_s;
};

class FakeInitDeviceTask final : public QVNasInitDeviceTaskManage {
  public:
    FakeInitDeviceTask(FakeFrameworkStatePtr s, int64_t status, const QString &ip)
        : QVNasInitDeviceTaskManage(status, ip), m_s(std::move(s)) {}
    void startTask(QVNasCompletionBlock c) override {
        const QString m = "startTask";
        m_s->record(m, {qint64(status()), deviceIp()});
        const FakeAnswer a = m_s->next(m);
        const QVNasExecProgressBlock l = listener();
        const int64_t st = status();
        m_s->schedule(m, a, [a, l, st, c = std::move(c)] {
            for (double f : a.fractions) {
                auto info = std::make_shared<QVNasExecTaskProgressInfo>();
                info->deviceStatus = st;
                info->taskStatus = 1;
                info->currentProgress = static_cast<int64_t>(f);
                info->totalProgress = 100;
                if (l) l(info);
            }
            if (c) c(FakeFrameworkState::response(173, a));
        });
    }

  private:
    FakeFrameworkStatePtr m_s;
};

class FakeInitDeviceService final : public QVNasInitDeviceService {
  public:
    explicit FakeInitDeviceService(FakeFrameworkStatePtr s) : m_s(std::move(s)) {}
    QVNasInitDeviceTaskManagePtr createInitDeviceTask(int64_t status, const QString &ip) override {
        m_s->record("createInitDeviceTask", {qint64(status), ip});
        return std::make_shared<FakeInitDeviceTask>(m_s, status, ip);
    }

  private:
    FakeFrameworkStatePtr m_s;
};

class FakeDeviceConnectService final : public QVNasDeviceConnectService {
  public:
    FakeDeviceConnectService(FakeFrameworkStatePtr s, QVNasUserServicePtr user)
        : QVNasDeviceConnectService(std::move(user), PlainObject{}), m_s(std::move(s)) {}

    void qvNasConnect() override {
        m_s->record("qvNasConnect", {v(deviceInfo()), deviceBc()});
        FakeConnectOutcome o;
        {
            std::lock_guard lock(m_s->mu);
            if (!m_s->connects.isEmpty()) o = m_s->connects.takeFirst();
        }
        auto self = std::static_pointer_cast<FakeDeviceConnectService>(shared());
        plat::MainQueue::post([self, o] {
            if (o.kind == FakeConnectOutcome::Connected) {
                self->m_connected = true;
                if (auto l = self->connectedListener()) l();
            } else if (o.kind == FakeConnectOutcome::Error) {
                if (auto e = self->errorListener()) e(o.failType, o.message);
            }
        });
    }
    bool isConnected() const override { return m_connected.load(); }
    void qvNasDisconectDevice(QVNasCompletionBlock c) override {
        m_connected = false;
        m_s->answer("qvNasDisconectDevice", 14, {}, std::move(c));
    }
    void getDeviceStatus(QVNasCompletionBlock c) override {
        m_s->answer("getDeviceStatus", 20, {}, std::move(c));
    }
    void qvNasBindDevice(const QVNasDeviceInfoPtr &d, QVNasCompletionBlock c) override {
        m_s->answer("qvNasBindDevice", 15, {v(d)}, std::move(c));
    }
    void qvNasGetDeviceAuthCode(QVNasCompletionBlock c) override {
        m_s->answer("qvNasGetDeviceAuthCode", 0, {}, std::move(c));
    }
    void setIsHaveRebootDevice(bool on) override {
        m_s->record("setIsHaveRebootDevice", {on});
        QVNasDeviceConnectService::setIsHaveRebootDevice(on);
    }
    void setDeviceInfo(const QVNasDeviceInfoPtr &d) override {
        m_s->record("setDeviceInfo", {v(d)});
        QVNasDeviceConnectService::setDeviceInfo(d);
    }
    QVNasInitDeviceServicePtr getInitDeviceService() override {
        std::lock_guard lock(m_mu);
        if (!m_initDeviceService) m_initDeviceService = std::make_shared<FakeInitDeviceService>(m_s);
        return m_initDeviceService;
    }
    QVNasDeviceUserServicePtr getDeviceUserService() override {
        std::lock_guard lock(m_mu);
        if (!m_deviceUserService) m_deviceUserService = std::make_shared<FakeDeviceUserService>(m_s);
        return m_deviceUserService;
    }
    QVNasDeviceManagerServicePtr getDeviceManagerService() override {
        std::lock_guard lock(m_mu);
        if (!m_deviceManagerService) m_deviceManagerService = std::make_shared<FakeDeviceManagerService>(m_s);
        return m_deviceManagerService;
    }
    QVNasFWOTAServicePtr getFWOTAService() override {
        std::lock_guard lock(m_mu);
        if (!m_fwOtaService) m_fwOtaService = std::make_shared<FakeFWOTAService>(m_s);
        return m_fwOtaService;
    }
    void fireDisconnected() {
        m_connected = false;
        if (auto d = disconnectedListener()) d();
    }
    void setSelf(const std::shared_ptr<FakeDeviceConnectService> &self) { m_self = self; }

  private:
    std::shared_ptr<QVNasDeviceConnectService> shared() const { return m_self.lock(); }
    FakeFrameworkStatePtr m_s;
    std::atomic<bool> m_connected{false};
    std::weak_ptr<FakeDeviceConnectService> m_self;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------

FakeFramework::FakeFramework() : m_state(std::make_shared<FakeFrameworkState>(this)) {}

FakeFramework::~FakeFramework() {
    // Recorded arguments and held answers may hold services, which hold the state: drop them all here.
    QList<FakeCall> calls;
    QList<FakeFrameworkState::Held> held;
    QMap<int32_t, QVNasResultBatchBlock> searches;
    QMap<int32_t, QVNasCopyMoveProgressBlock> operations;
    QVNasRefreshTokenBlock authCode;
    QVNasServiceUserBlock userInfo;
    {
        std::lock_guard lock(m_state->mu);
        m_state->framework = nullptr;
        calls.swap(m_state->calls);
        held.swap(m_state->held);
        searches.swap(m_state->searches);
        operations.swap(m_state->operations);
        std::swap(authCode, m_state->authCodeHandler);
        std::swap(userInfo, m_state->userInfoHandler);
        m_state->scripted.clear();
        m_state->defaults.clear();
    }
}

void FakeFramework::script(const QString &method, const FakeAnswer &answer) {
    std::lock_guard lock(m_state->mu);
    m_state->scripted[method].append(answer);
}
void FakeFramework::setDefaultAnswer(const QString &method, const FakeAnswer &answer) {
    std::lock_guard lock(m_state->mu);
    m_state->defaults[method] = answer;
}
void FakeFramework::scriptConnect(const FakeConnectOutcome &outcome) {
    std::lock_guard lock(m_state->mu);
    m_state->connects.append(outcome);
}
void FakeFramework::setModuleSupport(const QSet<int64_t> &moduleTypes) {
    std::lock_guard lock(m_state->mu);
    m_state->modules = moduleTypes;
}
void FakeFramework::setSessionToken(int64_t token) {
    std::lock_guard lock(m_state->mu);
    m_state->token = token;
}

QList<FakeCall> FakeFramework::calls() const {
    std::lock_guard lock(m_state->mu);
    return m_state->calls;
}
QStringList FakeFramework::callNames() const {
    QStringList out;
    for (const FakeCall &c : calls()) out.append(c.method);
    return out;
}
int FakeFramework::callCount(const QString &method) const {
    return static_cast<int>(callNames().count(method));
}
FakeCall FakeFramework::lastCall(const QString &method) const {
    const QList<FakeCall> all = calls();
    for (auto it = all.crbegin(); it != all.crend(); ++it)
        if (it->method == method) return *it;
    return {};
}
void FakeFramework::clearCalls() {
    std::lock_guard lock(m_state->mu);
    m_state->calls.clear();
}

int FakeFramework::heldCount() const {
    std::lock_guard lock(m_state->mu);
    return static_cast<int>(m_state->held.size());
}
bool FakeFramework::releaseHeld(const QString &method) {
    std::function<void()> deliver;
    {
        std::lock_guard lock(m_state->mu);
        for (qsizetype i = 0; i < m_state->held.size(); ++i) {
            if (method.isEmpty() || m_state->held[i].method == method) {
                deliver = std::move(m_state->held[i].deliver);
                m_state->held.removeAt(i);
                break;
            }
        }
    }
    if (!deliver) return false;
    plat::MainQueue::post(std::move(deliver));  // still after the caller's turn, on main
    return true;
}
void FakeFramework::releaseAllHeld() {
    while (releaseHeld()) {
    }
}

void FakeFramework::fireDisconnected() {
    for (const QVNasDeviceConnectServicePtr &s : deviceConnectServices())
        if (auto f = std::dynamic_pointer_cast<FakeDeviceConnectService>(s)) f->fireDisconnected();
}
void FakeFramework::fireAuthCode(const QString &refreshToken, int64_t expiry) {
    QVNasRefreshTokenBlock h;
    {
        std::lock_guard lock(m_state->mu);
        h = std::exchange(m_state->authCodeHandler, nullptr);  // once, then dropped
    }
    if (h) h(refreshToken, expiry);
}
void FakeFramework::fireScanUserInfo(const QVNasServiceUserInfoPtr &user) {
    QVNasServiceUserBlock h;
    {
        std::lock_guard lock(m_state->mu);
        h = std::exchange(m_state->userInfoHandler, nullptr);
    }
    if (h) h(user);
}
void FakeFramework::fireUSBBackupInfoListChange(const QList<QVNasUSBInfoPtr> &list) {
    if (auto *d = delegate()) d->qvNasClientUSBBackupInfoListChange(list);
}
void FakeFramework::fireUserStatusChanged(int32_t status) {
    if (auto *d = delegate()) d->qvNasClientUserStatusChangedListen(status);
}

void FakeFramework::qvSdkStartService(QVNasCompletionBlock completion) {
    const QString m = "qvSdkStartService";
    m_state->record(m, {});
    const FakeAnswer a = m_state->next(m);
    auto s = m_state;
    m_state->schedule(m, a, [s, a, completion = std::move(completion)] {
        {
            std::lock_guard lock(s->mu);
            if (s->framework) s->framework->setStarted(a.responseCode == 0);
        }
        if (completion) completion(FakeFrameworkState::response(1, a));
    });
}
void FakeFramework::qvSdkStopService(QVNasCompletionBlock completion) {
    m_state->answer("qvSdkStopService", 2, {}, std::move(completion));
}

QVNasAccountServicePtr FakeFramework::createAccountService() {
    m_state->record("createAccountService", {});
    if (!isStartService()) noStartServiceThrow();
    return keep(m_qvNasAccountServicList,
                QVNasAccountServicePtr(std::make_shared<FakeAccountService>(m_state)));
}
QVNasUserServicePtr FakeFramework::createUserServiceByAccessToken(const QString &accessToken) {
    m_state->record("createUserServiceByAccessToken", {accessToken});
    if (!isStartService()) noStartServiceThrow();
    return keep(m_qvNasUserServiceList,
                QVNasUserServicePtr(std::make_shared<FakeUserService>(m_state, accessToken)));
}
QVNasDeviceConnectServicePtr FakeFramework::createDeviceConnectServiceByUserService(
    const QVNasUserServicePtr &userService, const QString &bcCode) {
    m_state->record("createDeviceConnectServiceByUserService", {v(userService), bcCode});
    if (!isStartService()) noStartServiceThrow();
    auto s = std::make_shared<FakeDeviceConnectService>(m_state, userService);
    s->setSelf(s);
    s->setDeviceBc(bcCode);
    return keep(m_qvNasDeviceConnectServiceList, QVNasDeviceConnectServicePtr(s));
}
QVNasDeviceConnectServicePtr FakeFramework::createDeviceConnectServiceByUserService(
    const QVNasUserServicePtr &userService, const QVNasDeviceInfoPtr &deviceInfo) {
    m_state->record("createDeviceConnectServiceByUserService", {v(userService), v(deviceInfo)});
    if (!isStartService()) noStartServiceThrow();
    auto s = std::make_shared<FakeDeviceConnectService>(m_state, userService);
    s->setSelf(s);
    s->QVNasDeviceConnectService::setDeviceInfo(deviceInfo);
    return keep(m_qvNasDeviceConnectServiceList, QVNasDeviceConnectServicePtr(s));
}

QList<QVNasAccountServicePtr> FakeFramework::accountServices() const {
    std::lock_guard lock(m_listMu);
    return m_qvNasAccountServicList;
}
QList<QVNasUserServicePtr> FakeFramework::userServices() const {
    std::lock_guard lock(m_listMu);
    return m_qvNasUserServiceList;
}
QList<QVNasDeviceConnectServicePtr> FakeFramework::deviceConnectServices() const {
    std::lock_guard lock(m_listMu);
    return m_qvNasDeviceConnectServiceList;
}
