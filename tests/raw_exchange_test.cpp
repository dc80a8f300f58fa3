// One device command end to end with only the link layer's pieces and the codec: the request built by the
// codec, its header block sent as one frame, the body enciphered, the reply header block parsed, the body
// inflated and deciphered as its headers say, and the reply applied by the codec.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "codec/client_info.h"
#include "codec/file_process.h"
#include "cross_test_util.h"
#include "device.h"
#include "link/file_util.h"
#include "link/gzip.h"
#include "link/msg.h"
#include "link/qvcrypt.h"
#include "link/qvhttp.h"

namespace {

struct Case {
    const char *name;
    bool gzip;
    bool cipher;
};

class RawExchange : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        qv::set_log_enabled(false);
        ASSERT_EQ(qv_crypt_init(), 0);
        dir_ = testing::TempDir() + "raw_exchange_root_" + std::to_string(::getpid());
        mkdir(dir_.c_str(), 0700);
        dev_ = std::make_unique<qvemu::Device>(dir_, addr_, 0);
        ASSERT_TRUE(dev_->start()) << dev_->last_error();
    }
    void TearDown() override {
        dev_->stop();
        qv_crypt_release();
        qv::set_log_enabled(true);
    }

    // Sends the request text of `info` and stores the decoded reply body in `info->recv_buf`.
    void exchange(client_info *info) {
        char *cipher = nullptr;
        int32_t cipher_len = 0;
        ASSERT_EQ(qv_crypt_encrypt(info->retstr, static_cast<int32_t>(std::strlen(info->retstr)), &cipher,
                                   &cipher_len),
                  0);

        qvhttp_request *r = qvhttp_request_new();
        ASSERT_NE(r, nullptr);
        std::string url = "http://" + addr_ + ":" + std::to_string(dev_->port());
        ASSERT_EQ(qvhttp_set_uri(r, url.c_str()), 0);
        ASSERT_EQ(qvhttp_set_type(r, QVHTTP_POST), 0);
        qvhttp_set_header(r, "Content-Type", "application/json");
        qvhttp_set_header(r, "Connection", "keep-alive");  // a pool open
        qvhttp_set_header(r, "Timeout", "20000");
        qvhttp_set_header(r, "Encrypt", "aes");
        qvhttp_set_header(r, "Content-Length", std::to_string(cipher_len).c_str());
        ASSERT_EQ(qvhttp_set_body(r, cipher, static_cast<uint64_t>(cipher_len)), 0);
        ASSERT_EQ(qvhttp_prepare(r), 0);
        char *block = qvhttp_req_get_hdr(r->req);
        ASSERT_NE(block, nullptr);

        int fd = QV_InetClientTimeOutInit(AF_INET, dev_->port(), SOCK_STREAM, addr_.c_str(), 2000);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(QV_MsgSend(fd, block, static_cast<uint32_t>(std::strlen(block))), 0);
        std::free(block);
        EXPECT_EQ(full_write(fd, r->req->body, r->req->body_len), static_cast<ssize_t>(r->req->body_len));

        char *reply_block = nullptr;
        uint32_t wait_ms = 5000;
        int n = QV_MsgReceive(fd, &reply_block, &wait_ms);
        ASSERT_GT(n, 0);
        ASSERT_EQ(qvhttp_resp_parse_headers_n(r->resp, reply_block, static_cast<size_t>(n)), 0);
        std::free(reply_block);
        EXPECT_EQ(qvhttp_get_status(r), 200);

        const char *len_text = qvhttp_get_header(r, "Content-Length");
        ASSERT_NE(len_text, nullptr);
        size_t len = std::strtoul(len_text, nullptr, 10);
        std::string body(len, '\0');
        ASSERT_EQ(full_read(fd, body.data(), len), static_cast<ssize_t>(len));
        close(fd);

        const char *enc = qvhttp_get_header(r, "Content-Encoding");
        if (enc && std::strcmp(enc, "gzip") == 0) {
            char *plain = nullptr;
            uint64_t plain_len = 0;
            ASSERT_EQ(gzdecompress(body.data(), body.size(), &plain, &plain_len), 0);
            body.assign(plain, plain_len);
            std::free(plain);
        }
        const char *crypt = qvhttp_get_header(r, "Encrypt");
        if (crypt && std::strncmp(crypt, "aes", 3) == 0) {
            char *plain = nullptr;
            int32_t plain_len = 0;
            ASSERT_EQ(qv_crypt_decrypt(body.data(), static_cast<int32_t>(body.size()), &plain, &plain_len),
                      0);
            body.assign(plain);  // deciphered text ends at its NUL padding
            std::free(plain);
        }
        qvhttp_request_destroy(r);
        info->recv_buf = strdup(body.c_str());
    }

    const std::string addr_ = cross_test::device_addr();
    std::string dir_;
    std::unique_ptr<qvemu::Device> dev_;
};

TEST_P(RawExchange, PoolOpenRoundTrip) {
    const Case &c = GetParam();
    qvemu::ReplyOptions opts;
    opts.gzip = c.gzip;
    opts.cipher = c.cipher;
    dev_->set_reply_options(opts);

    client_info info{};
    info.cmd = 175;
    info.port = dev_->port();
    std::strcpy(info.ip, addr_.c_str());
    info.token = 0x1122334455LL;
    info.seq = 77;
    ASSERT_EQ(file_process(&info), 0);
    ASSERT_NE(info.retstr, nullptr);

    exchange(&info);
    if (HasFatalFailure()) return;
    EXPECT_EQ(file_parse_process(&info), 0) << info.recv_buf;
    EXPECT_EQ(info.cmd, 175);
    EXPECT_EQ(info.token, 0x1122334455LL);  // the device echoes the token
    EXPECT_EQ(info.seq, 77);
    EXPECT_EQ(info.r_json, nullptr);
    std::free(info.recv_buf);
    std::free(info.retstr);

    // The device counts an exchange just after its last byte went out.
    auto counters = dev_->counters();
    for (int i = 0; i < 200 && counters.commands_answered == 0; ++i) {
        usleep(10 * 1000);
        counters = dev_->counters();
    }
    EXPECT_EQ(counters.commands_answered, 1u);
    EXPECT_EQ(counters.pool_opens, 1u);
    EXPECT_TRUE(dev_->violations().empty()) << dev_->violations().front().what;
}

INSTANTIATE_TEST_SUITE_P(Modes, RawExchange,
                         testing::Values(Case{"plain", false, false}, Case{"gzip", true, false},
                                         Case{"cipher", false, true}, Case{"gzip_cipher", true, true}),
                         [](const testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

}  // namespace
