// Service-login transport, signature and the four commands against the HTTPS stub.
#include "messaging/qvsl_http.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <regex>

#include "link/url_encode.h"
#include "messaging/mqtt_testbed_test.h"

using namespace mqtt_tb;

namespace {

TEST(UrlEncode, EncodeTable) {
    struct Case {
        std::string in;
        int cap;
        std::string out;
        int ret;
    };
    const Case cases[] = {
        {std::string("a b/c+d", 7), 64, "a%20b/c%2Bd", 11},
        {"a b", 4, "a", 0},               // the escape does not fit: partial text, result 0
        {"abcdefghij", 8, "abcdefg", 0},  // cut plain text is a failure too
        {"abcdefg", 8, "abcdefg", 7},     // exactly fits
        {"*-._/~", 64, "*-._/%7E", 8},
        {std::string("\xff\x01", 2), 64, "%FF%01", 6},
    };
    for (const auto &c : cases) {
        char out[64];
        std::memset(out, 'Z', sizeof out);
        EXPECT_EQ(curl_url_encode(c.in.data(), static_cast<int>(c.in.size()), out, c.cap), c.ret) << c.in;
        EXPECT_EQ(std::string(out), c.out) << c.in;
        EXPECT_EQ(qv_url_escape(c.in).substr(0, c.out.size()), c.out) << "one encoder for both callers";
    }
    char out[8];
    EXPECT_EQ(curl_url_encode(nullptr, 1, out, 8), 0);
    EXPECT_EQ(curl_url_encode("a", 0, out, 8), 0);
    EXPECT_EQ(curl_url_encode("a", 1, out, 0), 0);
}

TEST(UrlEncode, DecodeTable) {
    struct Case {
        std::string in;
        int cap;
        std::string out;
    };
    const Case cases[] = {
        {"%41%zz%4", 64, "A4"},
        {"a%20b%2bc", 64, "a b+c"},
        {"abcdef", 4, "abc"},
        {"%", 64, ""},
    };
    for (const auto &c : cases) {
        char out[64] = {};
        EXPECT_EQ(curl_url_decode(c.in.data(), static_cast<int>(c.in.size()), out, c.cap),
                  static_cast<int>(c.out.size()))
            << c.in;
        EXPECT_EQ(std::string(out), c.out) << c.in;
    }
}

qvsl_sign_block block(const char *verb, const char *md5, const char *ctype, const char *path,
                      const char *query) {
    qvsl_sign_block s{};
    std::snprintf(s.verb, sizeof s.verb, "%s", verb);
    std::snprintf(s.content_md5, sizeof s.content_md5, "%s", md5);
    std::snprintf(s.content_type, sizeof s.content_type, "%s", ctype);
    std::snprintf(s.date, sizeof s.date, "%s", "Thu, 10 Dec 2026 09:05:07 GMT");
    std::snprintf(s.checksum_algorithm, sizeof s.checksum_algorithm, "%s", "crc32");
    std::snprintf(s.path, sizeof s.path, "%s", path);
    std::snprintf(s.query, sizeof s.query, "%s", query);
    return s;
}

TEST(Signature, GoldenVectors) {
    const char *form = "application/x-www-form-urlencoded";
    struct Case {
        const char *name;
        const char *body;  // nullptr: GET
        const char *path;
        const char *query;
        const char *md5;
        const char *ssig;
    };
    const Case cases[] = {
        {"100", R"({ "platformType": 0, "os": 3 })", "/sl/getAuthUrl", "AppId=0123456789ABCDEF",
         "0F95B8A96D932FD7527E04E0F7AF81E0", "6WEXHr7CB4"},
        {"102", nullptr, "/sl/a", "AppId=0123456789ABCDEF&cmd=2&code=AB12", "", "3LLP0FhhuR"},
        {"104", R"({ "authCode": "QUJDRA==" })", "/sl/a", "AppId=0123456789ABCDEF&cmd=0&code=AB12",
         "52744F2E8C698DA9397CBFA71E3F76C4", "qYjtflYC/i"},
        {"102_plus", nullptr, "/sl/a", "AppId=0123456789ABCDEF&cmd=2&code=C003", "", "HiqdQm%2BIrr"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        qvsl_http_data d{};
        std::snprintf(d.app_key, sizeof d.app_key, "%s", LoginStub::kAppKey);
        char md5[33] = {};
        if (c.body) qvsl_http_content_md5(c.body, std::strlen(c.body), md5);
        EXPECT_STREQ(md5, c.md5);
        d.sign = block(c.body ? "POST" : "GET", md5, c.body ? form : "", c.path, c.query);
        char ssig[32];
        ASSERT_EQ(qvsl_http_create_encode_ssig(&d, ssig, sizeof ssig), 0);
        EXPECT_STREQ(ssig, c.ssig);
    }
    qvsl_http_data d{};
    d.sign = block("GET", "", "", "/p", "q");
    EXPECT_EQ(qvsl_http_string_to_sign(&d.sign).rfind("GET\n\n\nThu,", 0), 0u);
    char out[16];
    EXPECT_EQ(qvsl_http_create_encode_ssig(&d, out, 10), -1);
    EXPECT_EQ(qvsl_http_create_encode_ssig(nullptr, out, 16), -1);
}

TEST(Signature, LongFieldsAreSignedWhole) {
    qvsl_http_data d{};
    const std::string path = "/" + std::string(1000, 'p');
    const std::string query = "AppId=x&cmd=2&code=" + std::string(400, 'c');
    d.sign = block("GET", "", "", path.c_str(), query.c_str());
    const std::string s = qvsl_http_string_to_sign(&d.sign);
    EXPECT_EQ(s.substr(s.size() - query.size()), query) << "the string to sign is not cut";
    curl_slist *h = curl_build_headers(&d.sign);
    std::vector<std::string> lines;
    for (curl_slist *p = h; p; p = p->next) lines.emplace_back(p->data);
    curl_slist_free_all(h);
    ASSERT_EQ(lines.size(), 4u);  // verb, date, checksum, resource: no type or MD5 for a GET
    EXPECT_EQ(lines[0], "HTTP-Verb: GET");
    EXPECT_EQ(lines[1], "DATE: Thu, 10 Dec 2026 09:05:07 GMT");
    EXPECT_EQ(lines[2], "X-Amz-Meta-CheckSumAlgorithm: crc32");
    EXPECT_EQ(lines[3], "CanonicalizedResource: " + path + "?" + query);
}

TEST(Signature, DateIsUtcInTheFixedLayout) {
    char date[30];
    const time_t before = time(nullptr);
    qvsl_http_get_local_time(date);
    const std::regex layout(
        R"(^(Sun|Mon|Tue|Wed|Thu|Fri|Sat), ([1-9]|[12][0-9]|3[01]) [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT$)");
    EXPECT_TRUE(std::regex_match(date, layout)) << date;
    struct tm t {};
    ASSERT_NE(strptime(date, "%a, %d %b %Y %H:%M:%S GMT", &t), nullptr);
    EXPECT_LE(std::llabs(static_cast<long long>(timegm(&t) - before)), 5) << date;
}

TEST(Transport, ReceiveCallbackAppendsChunks) {
    qvsl_http_data d{};
    std::string big(5000, 'x');
    char one = 'a';
    EXPECT_EQ(qvsl_http_receive_cb(&one, 1, 1, &d), 1u);
    EXPECT_EQ(qvsl_http_receive_cb(big.data(), 1, big.size(), &d), 5000u);
    EXPECT_EQ(d.recv_len, 5001);
    EXPECT_EQ(std::strlen(d.recv_buf), 5001u);
    free(d.recv_buf);
    EXPECT_EQ(qvsl_http_receive_cb(nullptr, 1, 1, &d), 0u);
}

class Stub : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(stub.ready()) << stub.output();
        qvsl_http_set_service_host(stub.host().c_str());
    }
    void TearDown() override { qvsl_http_set_service_host(nullptr); }
    qvsl_http_data *fresh(int cmd) {
        std::memset(&rec, 0, sizeof rec);
        rec.cmd = cmd;
        std::snprintf(rec.app_id, sizeof rec.app_id, "%s", LoginStub::kAppId);
        std::snprintf(rec.app_key, sizeof rec.app_key, "%s", LoginStub::kAppKey);
        rec.os = 3;
        return &rec;
    }
    LoginStub stub;
    qvsl_http_data rec{};
};

TEST_F(Stub, SyncAndAsyncRequestsAnd404WithABody) {
    stub.control(R"({"0": {"status": 404, "body": "not here"}})");
    qvsl_http_data *d = fresh(0);
    std::snprintf(d->url, sizeof d->url, "%s/other", stub.base().c_str());
    ASSERT_EQ(qvsl_http_sync_request(d), 0);
    EXPECT_STREQ(d->recv_buf, "not here");
    free(d->recv_buf);
    d = fresh(0);
    std::snprintf(d->url, sizeof d->url, "%s/other", stub.base().c_str());
    EXPECT_EQ(qvsl_http_async_request(d), -1);
    free(d->recv_buf);
    stub.control("{}");
    d = fresh(0);
    std::snprintf(d->url, sizeof d->url, "%s/other", stub.base().c_str());
    EXPECT_EQ(qvsl_http_async_request(d), 0);
    EXPECT_NE(std::strstr(d->recv_buf, "error_code"), nullptr);
    free(d->recv_buf);
}

TEST_F(Stub, StopEndsTheAsyncWaitPromptly) {
    stub.control(R"({"0": {"delay": 5}})");
    qvsl_http_data *d = fresh(0);
    std::snprintf(d->url, sizeof d->url, "%s/slow", stub.base().c_str());
    auto done = std::async(std::launch::async, [d] { return qvsl_http_async_request(d); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t0 = Clock::now();
    qvsl_http_set_stop(d);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.0);
    EXPECT_EQ(done.get(), 0);
    free(d->recv_buf);
}

TEST(TransportTls, StrayCertificateIsRefused) {
    LoginStub stray(true);
    ASSERT_TRUE(stray.ready());
    qvsl_http_data d{};
    std::snprintf(d.url, sizeof d.url, "%s/x", stray.base().c_str());
    EXPECT_EQ(qvsl_http_sync_request(&d), -1);
    free(d.recv_buf);
    // The same stub under a name its certificate does not carry: refused as well.
    LoginStub good;
    ASSERT_TRUE(good.ready());
    Forwarder fwd(std::stoi(good.host().substr(10)), "127.0.0.4");
    qvsl_http_data e{};
    std::snprintf(e.url, sizeof e.url, "https://127.0.0.4:%d/x", fwd.port());
    EXPECT_EQ(qvsl_http_sync_request(&e), -1);
    free(e.recv_buf);
}

TEST_F(Stub, AuthUrlRequestIsSignedAndParsed) {
    qvsl_http_data *d = fresh(QVSL_CMD_GET_AUTH_URL);
    ASSERT_EQ(qvsl_http_process(d), 0);
    EXPECT_EQ(std::string(d->auth_url), stub.base() + "/sl/a?code=AB12&deviceType=3");
    EXPECT_STREQ(d->auth_id, "auth0123456789");
    EXPECT_EQ(d->exprect, 120);
    const auto reqs = stub.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_NE(reqs[0].find(R"("ssig_ok": true, "md5_ok": true, "appid_ok": true)"), std::string::npos)
        << reqs[0];
    EXPECT_NE(reqs[0].find(R"("body": "{ \"platformType\": 0, \"os\": 3 }")"), std::string::npos) << reqs[0];
    EXPECT_NE(reqs[0].find(R"("verb": "POST", "path": "/sl/getAuthUrl")"), std::string::npos) << reqs[0];
}

TEST_F(Stub, ScannerRequestsAreSigned) {
    const std::string auth = stub.base() + "/sl/a?code=AB12&";
    struct Case {
        int cmd;
        const char *cmd_arg;
        const char *body;
    };
    const Case cases[] = {{QVSL_CMD_GET_AUTH_INFO, "&&cmd=2&", ""},
                          {QVSL_CMD_SEND_USER_INFO, "&&cmd=1&",
                           R"({ \"nickName\": \"Ann\", \"userImage\": \"https:\\/\\/127.0.0.1\\/a.png\" })"},
                          {QVSL_CMD_SEND_AUTH_CODE, "&&cmd=0&", R"({ \"authCode\": \"QUJDRA==\" })"}};
    size_t n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cmd);
        qvsl_http_data *d = fresh(c.cmd);
        std::snprintf(d->auth_url, sizeof d->auth_url, "%s", auth.c_str());
        std::snprintf(d->nick_name, sizeof d->nick_name, "Ann");
        std::snprintf(d->user_image, sizeof d->user_image, "https://127.0.0.1/a.png");
        std::snprintf(d->auth_code, sizeof d->auth_code, "QUJDRA==");
        ASSERT_EQ(qvsl_http_process(d), 0);
        if (c.cmd == QVSL_CMD_GET_AUTH_INFO) {
            EXPECT_EQ(d->platform_type, 0);
            EXPECT_EQ(d->os, 3);
        }
        const auto reqs = stub.requests();
        ASSERT_EQ(reqs.size(), ++n);
        const std::string &r = reqs.back();
        EXPECT_NE(r.find(R"("ssig_ok": true, "md5_ok": true, "appid_ok": true)"), std::string::npos) << r;
        EXPECT_NE(r.find(c.cmd_arg), std::string::npos) << r;
        EXPECT_NE(r.find(std::string(R"("body": ")") + c.body + "\""), std::string::npos) << r;
    }
}

TEST_F(Stub, ReplyMapping) {
    struct Case {
        const char *name;
        int cmd;
        int status;
        std::string body;
        int want;
    };
    const std::string data100 =
        R"("data": {"authUrl": "https://x/sl/a?code=1", "authID": "a1", "exprect": 60})";
    const Case cases[] = {
        {"ok", 100, 200, R"({"error_code": 0, "error_msg": "", )" + data100 + "}", 0},
        {"10000", 100, 200, R"({"error_code": 10000, "error_msg": "m"})", 13109},
        {"10001", 100, 200, R"({"error_code": 10001, "error_msg": "m"})", 13110},
        {"10002", 102, 200, R"({"error_code": 10002, "error_msg": "m"})", 13108},
        {"20001", 102, 200, R"({"error_code": 20001, "error_msg": "m"})", 10103},
        {"20013", 104, 200, R"({"error_code": 20013, "error_msg": "m"})", 13114},
        {"20014", 104, 200, R"({"error_code": 20014, "error_msg": "m"})", 13112},
        {"20015", 103, 200, R"({"error_code": 20015, "error_msg": "m"})", 13113},
        {"20017", 103, 200, R"({"error_code": 20017, "error_msg": "m"})", 13111},
        {"20016", 100, 200, R"({"error_code": 20016, "error_msg": "m"})", 20000},
        {"missing_error_msg", 100, 200, R"({"error_code": 0, )" + data100 + "}", 20000},
        {"not_json", 102, 200, "<html>", 20000},
        {"missing_data", 100, 200, R"({"error_code": 0, "error_msg": ""})", 20000},
        {"http_500_on_100", 100, 500, R"({"error_code": 0, "error_msg": "", )" + data100 + "}", 20000},
        {"http_500_on_102", 102, 500,
         R"({"error_code": 0, "error_msg": "", "data": {"platformType": 1, "os": 2}})", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string esc;
        for (char ch : c.body) {
            if (ch == '"' || ch == '\\') esc += '\\';
            esc += ch;
        }
        stub.control("{\"" + std::to_string(c.cmd) + "\": {\"status\": " + std::to_string(c.status) +
                     ", \"body\": \"" + esc + "\"}}");
        qvsl_http_data *d = fresh(c.cmd);
        std::snprintf(d->auth_url, sizeof d->auth_url, "%s/sl/a?code=AB12", stub.base().c_str());
        EXPECT_EQ(qvsl_http_process(d), c.want);
    }
}

TEST_F(Stub, UnknownCommandOrUrlWithoutCodeSendsNothing) {
    qvsl_http_data *d = fresh(101);
    EXPECT_EQ(qvsl_http_process(d), 20000);
    d = fresh(QVSL_CMD_GET_AUTH_INFO);
    std::snprintf(d->auth_url, sizeof d->auth_url, "%s/sl/a?id=AB12", stub.base().c_str());
    EXPECT_EQ(qvsl_http_process(d), 20000);
    d = fresh(QVSL_CMD_SEND_AUTH_CODE);
    std::snprintf(d->auth_url, sizeof d->auth_url, "%s/sl/a?code=%s", stub.base().c_str(),
                  std::string(33, 'c').c_str());
    EXPECT_EQ(qvsl_http_process(d), 20000);
    EXPECT_TRUE(stub.requests().empty());
}

}  // namespace
