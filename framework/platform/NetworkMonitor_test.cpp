#include "platform/NetworkMonitor.h"

#include <gtest/gtest.h>

#include <QObject>
#include <memory>

namespace {

TEST(NetworkMonitor, StartsWithoutPingsAndReportsChangesToLiveObservers) {
    auto &m = plat::NetworkMonitor::shared();
    m.startNotifier();
    m.startNotifier();  // once
    EXPECT_TRUE(m.isStarted());
    if (!m.hasBackend()) {
        EXPECT_EQ(m.status(), plat::NetworkMonitor::Status::Unknown);
        EXPECT_TRUE(m.isNetworkEnabled());  // unknown never refuses
    }
    QList<std::pair<plat::NetworkMonitor::Status, plat::NetworkMonitor::Status>> seen;
    auto ctx = std::make_unique<QObject>();
    m.addObserver(ctx.get(), [&](auto cur, auto prev) { seen.append({cur, prev}); });
    const auto before = m.status();
    m.setStatusForTests(plat::NetworkMonitor::Status::Disconnected);
    EXPECT_FALSE(m.isNetworkEnabled());
    m.setStatusForTests(plat::NetworkMonitor::Status::Disconnected);  // no change, no report
    ctx.reset();
    m.setStatusForTests(plat::NetworkMonitor::Status::Online);
    ASSERT_EQ(seen.size(), before == plat::NetworkMonitor::Status::Disconnected ? 0 : 1);
    if (!seen.isEmpty()) {
        EXPECT_EQ(seen[0].first, plat::NetworkMonitor::Status::Disconnected);
        EXPECT_EQ(seen[0].second, before);
    }
    m.setStatusForTests(before);
}

}  // namespace
