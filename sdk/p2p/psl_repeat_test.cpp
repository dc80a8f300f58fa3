// The repeat table on a driven clock: each queued LAN message goes out once, on the tick its delay names,
// to its target, in its form; a second copy of a waiting message and a message that finds the table full
// are dropped. The datagrams are caught on a loopback socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <vector>

#include "p2p/psl_lan.h"
#include "p2p/psl_session.h"

namespace {

std::atomic<uint64_t> g_now{5000000};
uint64_t drivenClock() {
    return g_now.load();
}

struct Caught {
    PSLPacketHeader h;
    std::vector<uint8_t> payload;
    int tick;
};

class RepeatTable : public ::testing::Test {
  protected:
    void SetUp() override {
        p2p_Clock_SetSource(drivenClock);
        ASSERT_EQ(PSL_Initialize(0), 0);
        ASSERT_EQ(_PSL_OpenMainSocket(), 0);
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        portNet = a.sin_port;
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        PSL_DeInitialize();
        p2p_Clock_SetSource(nullptr);
    }
    // One pass of the timers at the next 10 ms (the first at the time of the adds), then what arrived.
    void tick() {
        psl_session_lock();
        if (ticks > 0) g_now += 10;
        p2p_SockTaskMng_TimerPass();
        psl_session_unlock();
        ++ticks;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 60) == 1) {
            uint8_t wire[2048], plain[2048];
            const ssize_t n = recv(fd, wire, sizeof wire, 0);
            PSLPacketHeader h{};
            if (n > 0 && psl_ReadDatagram(wire, (size_t)n, plain, &h) > 0)
                caught.push_back(
                    {h, std::vector<uint8_t>(plain + PSL_HEADER_SIZE, plain + PSL_HEADER_SIZE + h.length),
                     ticks});
        }
    }

    int fd = -1;
    uint16_t portNet = 0;
    int ticks = 0;
    std::vector<Caught> caught;
};

TEST_F(RepeatTable, EachMessageGoesOutOnceOnTheTickItsDelayNames) {
    const uint32_t words[2] = {0x11112222, 0x33334444};
    struct Case {
        const char *name;
        std::function<void(uint16_t)> add;  // given the catching socket's port
        // Expected datagrams: the tick each arrives on, its type and length, mode and key fields.
        std::vector<int> ticks;
        uint16_t type;
        uint16_t length;
        uint32_t mode;
    };
    const Case cases[] = {
        {"delay 0: the first tick",
         [&](uint16_t p) { _PSL_RepeatTable_Add("QVUID000000000000001", words, 1, "127.0.0.1", p, 0, 0, 0); },
         {1},
         0x0601,
         52,
         1},
        {"delay 5: the sixth tick",
         [&](uint16_t p) { _PSL_RepeatTable_Add("QVUID000000000000001", words, 2, "127.0.0.1", p, 5, 0, 0); },
         {6},
         0x0601,
         52,
         2},
        {"a second copy while the first waits is dropped",
         [&](uint16_t p) {
             _PSL_RepeatTable_Add("QVUID000000000000001", words, 1, "127.0.0.1", p, 3, 0, 0);
             _PSL_RepeatTable_Add("QVUID000000000000001", words, 1, "127.0.0.1", p, 1, 0, 0);
         },
         {4},
         0x0601,
         52,
         1},
        {"another key is another message",
         [&](uint16_t p) {
             _PSL_RepeatTable_Add("QVUID000000000000001", words, 0, "127.0.0.1", p, 2, 0, 3);
             _PSL_RepeatTable_Add("QVUID000000000000001", words, 0, "127.0.0.1", p, 2, 0, 4);
         },
         {3, 3},
         0x0603,
         72,
         0},
        {"the answer form re-sends the device's answer",
         [&](uint16_t p) { _PSL_RepeatTable_Add(nullptr, words, 1, "127.0.0.1", p, 1, 1, 0); },
         {2},
         0x0602,
         184,
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        caught.clear();
        ticks = 0;
        psl_session_lock();
        c.add(portNet);
        psl_session_unlock();
        for (int i = 0; i < 9; ++i) tick();
        ASSERT_EQ(caught.size(), c.ticks.size());
        for (size_t i = 0; i < caught.size(); ++i) {
            const Caught &k = caught[i];
            EXPECT_EQ(k.tick, c.ticks[i]);
            EXPECT_EQ(k.h.type, c.type);
            EXPECT_EQ(k.h.length, c.length);
            const size_t modeAt = c.type == 0x0602 ? 180 : 48;
            EXPECT_EQ(psl_GetU32(k.payload.data() + modeAt), c.mode);
            const size_t wordsAt = c.type == 0x0602 ? 172 : 40;
            EXPECT_EQ(psl_GetU32(k.payload.data() + wordsAt), words[0]);
            EXPECT_EQ(psl_GetU32(k.payload.data() + wordsAt + 4), words[1]);
            if (c.type == 0x0603) {
                EXPECT_EQ(psl_GetU32(k.payload.data() + 52), 3u + i);  // the key
            }
        }
        EXPECT_EQ(_PSL_RepeatTable_Count(), 0);
    }
}

TEST_F(RepeatTable, AFullTableDropsWhatComesOnTop) {
    psl_session_lock();
    for (uint32_t i = 0; i < PSL_REPEAT_SLOTS + 5; ++i) {
        const uint32_t words[2] = {i, i};
        _PSL_RepeatTable_Add("QVUID000000000000001", words, 1, "127.0.0.1", portNet, 2, 0, 0);
    }
    EXPECT_EQ(_PSL_RepeatTable_Count(), PSL_REPEAT_SLOTS);
    psl_session_unlock();
    for (int i = 0; i < 4; ++i) tick();
    EXPECT_EQ(caught.size(), (size_t)PSL_REPEAT_SLOTS);
    EXPECT_EQ(_PSL_RepeatTable_Count(), 0);
    for (const Caught &k : caught) EXPECT_EQ(k.tick, 3);
}

}  // namespace
