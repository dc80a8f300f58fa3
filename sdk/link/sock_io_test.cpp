#include "link/sock_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

using qvsock::Io;
using qvsock::Waits;

struct Pair {
    int a = -1, b = -1;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a = fds[0];
        b = fds[1];
    }
    ~Pair() {
        ::close(a);
        ::close(b);
    }
};

TEST(SockIo, FrameAndTailArriveAsOneStream) {
    Pair p;
    const std::string payload = "POST / HTTP/1.1\r\n\r\n", body = "0123456789abcdef";
    ASSERT_EQ(qvsock::send_frame(p.a, payload.data(), static_cast<uint32_t>(payload.size()),
                                 Waits::within(1000), body.data(), body.size()),
              Io::Ok);
    uint32_t len = 0;
    ASSERT_EQ(qvsock::recv_frame_len(p.b, &len, Waits::within(1000)), Io::Ok);
    EXPECT_EQ(len, payload.size());
    std::string got(payload.size() + body.size(), '\0');
    size_t n = 0;
    ASSERT_EQ(qvsock::read_exact(p.b, got.data(), got.size(), Waits::within(1000), &n), Io::Ok);
    EXPECT_EQ(got, payload + body);
}

// Each way a read can end, with the count read so far.
TEST(SockIo, ReadOutcomes) {
    struct Case {
        const char *name;
        std::string sent;
        bool close_peer, cancel, never;
        Io expect;
        size_t got;
    } cases[] = {
        {"peer closes after 3 bytes", "abc", true, false, false, Io::Closed, 3},
        {"deadline passes after 2 bytes", "ab", false, false, false, Io::TimedOut, 2},
        {"cancel flag set", "", false, true, false, Io::Cancelled, 0},
        {"no waiting allowed on a non-blocking socket", "a", false, false, true, Io::Failed, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        if (!c.sent.empty()) {
            ASSERT_EQ(::write(p.b, c.sent.data(), c.sent.size()), static_cast<ssize_t>(c.sent.size()));
        }
        if (c.close_peer) ::shutdown(p.b, SHUT_WR);
        if (c.never) ::fcntl(p.a, F_SETFL, ::fcntl(p.a, F_GETFL) | O_NONBLOCK);
        std::atomic<int32_t> flag{0};
        Waits w = Waits::until(qvsock::now_ms() + 150, &flag);
        w.never = c.never;
        std::thread canceller;
        if (c.cancel) {
            w.deadline_ms = qvsock::kNever;
            canceller = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                flag = 1;
            });
        }
        char buf[8];
        size_t got = 99;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(qvsock::read_exact(p.a, buf, sizeof buf, w, &got), c.expect);
        EXPECT_EQ(got, c.got);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));  // generous
        if (canceller.joinable()) canceller.join();
    }
}

TEST(SockIo, WritingToAClosedPeerIsClosedWithoutSignal) {
    Pair p;
    ::close(p.b);
    p.b = ::dup(0);  // keep the destructor's close harmless
    EXPECT_EQ(qvsock::write_all(p.a, "x", 1, Waits::within(1000)), Io::Closed);
}

TEST(SockIo, TheThreadsCancelFlagEndsWaitsThatCarryNone) {
    Pair p;
    std::atomic<int32_t> flag{0};
    Io rc = Io::Ok;
    std::thread waiter([&] {
        qvsock::ThreadCancelScope scope(&flag);
        rc = qvsock::wait_for(p.a, POLLIN, Waits::within(60000));  // no flag of its own
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = std::chrono::steady_clock::now();
    flag = -1;
    waiter.join();
    EXPECT_EQ(rc, Io::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));  // generous; 60 s without it
    // The scope ended: this thread's waits are not affected.
    EXPECT_EQ(qvsock::wait_for(p.a, POLLIN, Waits::within(10)), Io::TimedOut);
}

}  // namespace
