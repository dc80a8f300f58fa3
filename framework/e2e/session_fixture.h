// The session end to end's building blocks (the tests run in a network namespace of their own, through
// scripts/netns-run, since LAN discovery binds fixed ports): the entry object, emulated devices with the
// handler families the session needs, and the reason a test skips outside the namespace.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/qv_log.h"
#include "broker/broker_test_util.h"
#include "device.h"
#include "handlers.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_push.h"
#include "platform/SecretStore.h"
#include "runtime/ppc_service.h"
#include "service/QVNasClientMacFramework.h"

namespace fwe2e {

using fwtest::answerOf;

inline constexpr char kAuth[] = "auth-session-e2e";

class TestFramework final : public QVNasClientMacFramework {
  public:
    TestFramework() { initService(); }
};

struct EmulatedDevice {
    std::unique_ptr<qvemu::Device> dev;
    std::shared_ptr<qvemu::DeviceUserModel> users;
    std::shared_ptr<qvemu::AdminState> admin;
    std::shared_ptr<qvemu::PushModel> push;  // what the device sends on each token's reverse push
    uint64_t sent(int cmd) const { return dev->counters().requests_by_cmd[cmd]; }
};

inline EmulatedDevice emulate(const std::string &root, const std::string &addr, const std::string &bindCode) {
    EmulatedDevice d;
    d.dev = std::make_unique<qvemu::Device>(root, addr);
    d.users = qvemu::install_device_user_handlers(*d.dev);
    d.users->update([&](qvemu::DeviceUserState &s) {
        s.auth_codes.insert(kAuth);
        s.bind_code = bindCode;
    });
    qvemu::install_device_handlers(*d.dev);
    qvemu::install_file_type_handlers(*d.dev);
    d.admin = qvemu::install_admin_handlers(*d.dev);
    d.push = qvemu::install_push_handler(*d.dev);
    d.push->set_keepalive_ms(0);
    return d;
}

inline std::optional<std::string> whyNoNamespace() {
    if (qEnvironmentVariable("QV_NETNS") == QLatin1String("1")) return std::nullopt;
    const QString why = qEnvironmentVariable("QV_NETNS_SKIP");
    return why.isEmpty() ? std::string(
                               "runs as the ctest framework_session_e2e, in a network namespace of its own "
                               "(scripts/netns-run)")
                         : why.toStdString();
}

// Every line the SDK writes while the object lives, with logging on (the lines go nowhere else meanwhile).
class SdkLogCapture {
  public:
    SdkLogCapture() {
        qv::set_log_enabled(true);
        qv::set_log_sink(&SdkLogCapture::sink, this);
    }
    ~SdkLogCapture() {
        qv::set_log_sink(nullptr, nullptr);
        qv::set_log_enabled(true);
    }
    SdkLogCapture(const SdkLogCapture &) = delete;
    SdkLogCapture &operator=(const SdkLogCapture &) = delete;
    std::vector<std::string> lines() const {
        std::lock_guard l(mu_);
        return lines_;
    }
    QStringList qlines() const {
        QStringList out;
        for (const std::string &line : lines()) out << QString::fromStdString(line);
        return out;
    }
    bool contains(const std::string &text) const {
        std::lock_guard l(mu_);
        for (const std::string &line : lines_)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

  private:
    static void sink(const char *line, unsigned long len, void *ctx) {
        auto *self = static_cast<SdkLogCapture *>(ctx);
        std::lock_guard l(self->mu_);
        self->lines_.emplace_back(line, len);
    }
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
};

// A session test's last steps: each device stopped and what it found wrong with our requests reported, then
// the process-wide state the test set put back and its folder removed.
inline void finish(std::initializer_list<qvemu::Device *> devices, const std::string &root) {
    for (qvemu::Device *d : devices) {
        d->stop();
        for (const auto &v : d->violations()) ADD_FAILURE() << v.what << "\n" << v.request;
    }
    fwtest::bridge().setSrcToken(0);
    plat::SecretStore::setShared(nullptr);
    ppc_set_broker_address(nullptr);
    qv::set_log_enabled(true);
    std::filesystem::remove_all(root);
}

template <typename Send>
QVNasResponseInfoPtr ask(Send send) {
    return answerOf([&](QVNasCompletionBlock done) { return send(done); });
}

}  // namespace fwe2e
