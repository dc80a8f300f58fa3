#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/parse_harness_test.h"

namespace {

struct Case {
    int cmd;
    const char *data;  // "data" member text, or null for none
    int want;
    const char *field;  // expected field text on success
};

int parse(client_info &ci, int cmd, const char *data) {
    ci.cmd = cmd;
    ci.recv_buf = strdup(parse_harness::reply_text(cmd, data).c_str());
    int r = file_parse_process(&ci);
    std::free(ci.recv_buf);
    ci.recv_buf = nullptr;
    return r;
}

}  // namespace

TEST(AccountReplies, AuthCodeAndP2pUuid) {
    qv::set_log_enabled(false);
    const std::string long_code(80, 'a');
    const std::string long_uuid = "[{\"p2pUuid\": \"" + std::string(40, 'u') + "\"}]";
    const std::string long_auth = "[{\"authCode\": \"" + long_code + "\"}]";
    const Case cases[] = {
        {202, R"([{"authCode": "A1b2"}])", 0, "A1b2"},
        {202, long_auth.c_str(), 0, nullptr},  // cut to 64 characters
        {202, "[]", -1, ""},
        {202, nullptr, -1, ""},
        {202, R"([{"other": 1}])", -1, ""},
        {203, R"([{"p2pUuid": "QVXX-000123-ABCDE"}])", 0, "QVXX-000123-ABCDE"},
        {203, long_uuid.c_str(), 0, nullptr},  // cut to 32 characters
        {203, R"({"p2pUuid": "x"})", -1, ""},  // "data" must be an array
    };
    for (const Case &c : cases) {
        client_info ci{};
        int r = parse(ci, c.cmd, c.data);
        EXPECT_EQ(r, c.want) << c.cmd << " " << (c.data ? c.data : "(none)");
        const char *field = c.cmd == 202 ? ci.userAuthCode : ci.p2pUid;
        if (c.field) {
            EXPECT_STREQ(field, c.field);
        } else {
            EXPECT_EQ(std::strlen(field), c.cmd == 202 ? 64u : 32u);
        }
        std::free(ci.retstr);
    }
    qv::set_log_enabled(true);
}
