// The broker and bridge singletons over a scripted SDK, and waiting for answers.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "bridge/FakeDeviceSdk.h"
#include "bridge/QVNasSDKManagerImplement.h"
#include "broker/QVNasPrivateInterfaceProtocol.h"
#include "platform/MainQueue.h"
#include "platform/WorkPool.h"
#include "test_util.h"

namespace fwtest {

inline QVNasPrivateInterfaceProtocol &broker() {
    return QVNasPrivateInterfaceProtocol::defaultProtocolManager();
}
inline QVNasSDKManagerImplement &bridge() {
    return QVNasSDKManagerImplement::shareManagerImplement();
}

// One answer, written by whichever thread runs the completion.
struct Answer {
    std::mutex mu;
    QVNasResponseInfoPtr response;
    int calls = 0;
    QVNasCompletionBlock completion() {
        return [this](const QVNasResponseInfoPtr &r) {
            std::lock_guard<std::mutex> l(mu);
            response = r;
            ++calls;
        };
    }
    QVNasResponseInfoPtr get() {
        std::lock_guard<std::mutex> l(mu);
        return response;
    }
    bool wait(int ms = 5000) {
        return spinUntil([&] { return get() != nullptr; }, ms);
    }
};

// Sends a request and spins until its completion has run; null after 5 s.
inline QVNasResponseInfoPtr answerOf(const std::function<QVNasRequestInfoPtr(QVNasCompletionBlock)> &send) {
    auto a = std::make_shared<Answer>();
    send(a->completion());
    a->wait();
    return a->get();
}

// A running service over a fresh fake.
class ServiceOnFake : public testing::Test {
  protected:
    void SetUp() override {
        fake = std::make_shared<FakeDeviceSdk>();
        bridge().setDeviceSdk(fake);
        const auto r =
            answerOf([](auto done) { return broker().qvNasStartServiceWithGatewayIp("10.1.2.3", done); });
        ASSERT_TRUE(r);
        ASSERT_EQ(r->responseCode, 0);
    }
    void TearDown() override {
        fake->openListLatch();
        const auto r = answerOf([](auto done) { return broker().qvNasStopServiceWithCompletion(done); });
        EXPECT_TRUE(r && r->responseCode == 0);
        plat::WorkPool::global().waitForDone(5000);
        bridge().setDeviceSdk(nullptr);
    }
    std::shared_ptr<FakeDeviceSdk> fake;
};

// Every progress call a test's requests received, in arrival order: number, status, amounts, thread.
struct Progress {
    struct Call {
        int32_t seq;
        int32_t status;
        int64_t done, total;
        bool onMain;
    };
    std::mutex mu;
    std::vector<Call> calls;
    QVNasTransportProgressBlock block() {
        return [this](const QVNasRequestInfoPtr &r, int32_t status, int64_t done, int64_t total) {
            std::lock_guard<std::mutex> l(mu);
            calls.push_back({r->clientCommandSeq, status, done, total, plat::isMainThread()});
        };
    }
    QVNasCopyMoveProgressBlock copyBlock() {
        return [this](const QVNasRequestInfoPtr &r, const QVNasOperateProgressInfoPtr &p) {
            std::lock_guard<std::mutex> l(mu);
            EXPECT_EQ(static_cast<int32_t>(p->operate_seq), r->clientCommandSeq);
            calls.push_back({r->clientCommandSeq, p->operate_status, static_cast<int64_t>(p->cur_progress),
                             static_cast<int64_t>(p->total_progress), plat::isMainThread()});
        };
    }
    std::vector<Call> of(int32_t seq) {
        std::lock_guard<std::mutex> l(mu);
        std::vector<Call> out;
        for (const Call &c : calls)
            if (c.seq == seq) out.push_back(c);
        return out;
    }
};

}  // namespace fwtest
