// Helpers of the tests that run the client against an emulated device in this process: the client side
// brought up and pointed at the device, and the files and descriptors the tests look at.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "base/qv_log.h"
#include "command/frame_state.h"
#include "command/ppc_qv_client.h"
#include "command/qv_net_connect.h"
#include "device.h"
#include "link/connect_pool.h"
#include "link/qvcrypt.h"

namespace cross_test {

// A loopback address of the running test's own: ctest runs every test as its own process, in parallel, so
// the device of each test binds an address no other test uses. It comes from the full test name (and
// `index`, for a test with several devices), so a failure repeats on the same address; it lies in
// 127.1.0.1 to 127.254.255.254, away from 127.0.0.0/24 where the fixed services are.
inline std::string device_addr(unsigned index = 0) {
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    const std::string key =
        std::string(t ? t->test_suite_name() : "") + "." + (t ? t->name() : "") + "#" + std::to_string(index);
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
    return "127." + std::to_string(1 + (h >> 48) % 254) + "." + std::to_string((h >> 24) % 256) + "." +
           std::to_string(1 + h % 254);
}

// Log off, cipher and connection pool up (wrap in ASSERT_NO_FATAL_FAILURE).
inline void client_up() {
    qv::set_log_enabled(false);
    ASSERT_EQ(qv_crypt_init(), 0);
    qv_net_connect_install();
    ASSERT_EQ(init_connect_pool(), 0);
}

// Starts the device and makes it the one the calls talk to (wrap in ASSERT_NO_FATAL_FAILURE).
inline void use_device(qvemu::Device &dev, const char *addr) {
    ASSERT_TRUE(dev.start()) << dev.last_error();
    qv_set_device_port(dev.port());
    qv_frame_set_current_device(addr);
}

// Undoes both: the device stopped, the client side down, the log back on.
inline void device_and_client_down(qvemu::Device &dev) {
    qv_frame_reset();
    qv_set_device_port(0);
    dev.stop();
    destory_connect_pool();
    qv_crypt_release();
    qv::set_log_enabled(true);
}

// `n` bytes from a generator seeded with `seed`.
inline std::string bytes_of(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen());
    return s;
}

inline void write_all(const std::filesystem::path &p, const std::string &s) {
    std::ofstream(p, std::ios::binary) << s;
}

// The descriptors this process has open.
inline size_t open_fds() {
    size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

}  // namespace cross_test
