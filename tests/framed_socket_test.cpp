// The framed-socket fallback: one framed JSON request and one framed reply on a socket of its own, no HTTP.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "codec/client_info.h"
#include "codec/file_parse_list.h"
#include "command/task_process.h"
#include "cross_test_util.h"
#include "device.h"
#include "handlers.h"

TEST(FramedSocket, UserListOverOneFramedExchange) {
    qv::set_log_enabled(false);
    const std::string root = testing::TempDir() + "framed_socket_" + std::to_string(::getpid());
    mkdir(root.c_str(), 0700);
    const std::string addr = cross_test::device_addr();
    qvemu::Device dev(root, addr, 0);
    qvemu::install_default_handlers(dev);
    dev.set_users({{"alice", 1, true}, {"bob", 2, false}});
    ASSERT_TRUE(dev.start()) << dev.last_error();

    client_info ci{};
    ci.cmd = 150;
    ci.port = dev.port();
    std::strcpy(ci.ip, addr.c_str());
    ci.token = 9;
    ASSERT_EQ(_qv_check_prcs_task(&ci), 0);
    ASSERT_NE(ci.user_list, nullptr);
    std::string nicks;
    for (user_list_item **u = ci.user_list; *u; ++u) nicks += std::string((*u)->nick_name) + ";";
    EXPECT_EQ(nicks, "alice;bob;");
    EXPECT_EQ(ci.client_fd, -1);  // the socket is its own and closed afterwards
    ppc_free_user_list(ci.user_list);

    auto c = dev.counters();
    for (int i = 0; i < 200 && c.commands_answered == 0; ++i) {
        usleep(10 * 1000);
        c = dev.counters();
    }
    EXPECT_EQ(c.requests_framed, 1u);
    EXPECT_EQ(c.requests_http, 0u);
    EXPECT_EQ(c.pool_opens, 0u);
    dev.stop();
    qv::set_log_enabled(true);
}
