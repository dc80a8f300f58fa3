#include "link/qvhttp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {
struct RequestDeleter {
    void operator()(qvhttp_request *r) const { qvhttp_request_destroy(r); }
};
using Request = std::unique_ptr<qvhttp_request, RequestDeleter>;

struct RespDeleter {
    void operator()(qvhttp_resp *p) const { qvhttp_resp_free(p); }
};
using Resp = std::unique_ptr<qvhttp_resp, RespDeleter>;

std::string take(char *p) {
    std::string s = p ? p : "";
    std::free(p);
    return s;
}

TEST(QvhttpUri, Parsing) {
    struct Case {
        const char *text;
        int rc;
        const char *scheme, *host;
        uint16_t port;
        const char *resource;
    } cases[] = {
        {"http://127.0.0.2:13111", 0, "http", "127.0.0.2", 13111, "/"},
        {"http://127.0.0.2:13111/", 0, "http", "127.0.0.2", 13111, "/"},
        {"http://127.0.0.2", 0, "http", "127.0.0.2", 80, "/"},
        {"http://127.0.0.2/", 0, "http", "127.0.0.2", 80, "/"},
        {"http://dev.local/a/b?x=1&y=:2", 0, "http", "dev.local", 80, "/a/b?x=1&y=:2"},
        {"https://host:443/p", 0, "https", "host", 443, "/p"},
        {"http://host:65535", 0, "http", "host", 65535, "/"},
        {"http://:13111", -1, nullptr, nullptr, 0, nullptr},         // empty host before the port
        {"http:///path", -1, nullptr, nullptr, 0, nullptr},          // empty host before the path
        {"http://", -1, nullptr, nullptr, 0, nullptr},               // empty host at the end
        {"http://host:/p", -1, nullptr, nullptr, 0, nullptr},        // empty port before the path
        {"http://host:", -1, nullptr, nullptr, 0, nullptr},          // empty port at the end
        {"http://host:123456/p", -1, nullptr, nullptr, 0, nullptr},  // six digits
        {"http://host:12a/p", -1, nullptr, nullptr, 0, nullptr},     // not a digit
        {"http://host:65616", -1, nullptr, nullptr, 0, nullptr},     // beyond 16 bits: refused, not wrapped
        {"http:/host", -1, nullptr, nullptr, 0, nullptr},            // no "//"
        {"no-colon-at-all", -1, nullptr, nullptr, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(qvhttp_uri_validate(c.text), c.rc);
        qvhttp_uri *u = qvhttp_uri_new();
        ASSERT_EQ(qvhttp_uri_parse(c.text, u), c.rc);
        if (c.rc == 0) {
            EXPECT_STREQ(u->full, c.text);
            EXPECT_STREQ(u->scheme, c.scheme);
            EXPECT_STREQ(u->host, c.host);
            EXPECT_EQ(u->port, c.port);
            EXPECT_STREQ(u->resource, c.resource);
        }
        qvhttp_uri_free(u);
    }
    EXPECT_EQ(qvhttp_uri_validate(nullptr), -1);
}

TEST(QvhttpRequest, SetUriKeepsRecordForSameHostAndPort) {
    Request r(qvhttp_request_new());
    ASSERT_EQ(qvhttp_set_uri(r.get(), "http://127.0.0.2:13111/a"), 0);
    ASSERT_EQ(qvhttp_prepare(r.get()), 0);
    ASSERT_EQ(qvhttp_set_uri(r.get(), "http://127.0.0.2:13111/b"), 0);
    EXPECT_STREQ(r->uri->resource, "/b");
    EXPECT_STREQ(r->uri->full, "http://127.0.0.2:13111/a");  // only the resource was replaced
    EXPECT_EQ(qvhttp_set_uri(r.get(), "bad"), -1);
    EXPECT_STREQ(r->uri->resource, "/b");
    ASSERT_EQ(qvhttp_set_uri(r.get(), "http://127.0.0.3:13111/c"), 0);
    EXPECT_STREQ(r->uri->full, "http://127.0.0.3:13111/c");
    ASSERT_EQ(qvhttp_prepare(r.get()), 0);
    EXPECT_STREQ(r->req->host, "127.0.0.3");
    EXPECT_STREQ(r->req->resource, "/c");
    EXPECT_STREQ(qvhttp_get_request_header(r.get(), "host"), "127.0.0.3");
}

// The pool's open request to 127.0.0.2: 166 bytes of text.
TEST(QvhttpRequest, HeaderBlockIsByteExact) {
    Request r(qvhttp_request_new());
    ASSERT_EQ(qvhttp_set_type(r.get(), QVHTTP_POST), 0);
    ASSERT_EQ(qvhttp_set_uri(r.get(), "http://127.0.0.2:13111"), 0);
    EXPECT_EQ(qvhttp_set_header(r.get(), "content-type", "application/json"), 1);
    EXPECT_EQ(qvhttp_set_header(r.get(), "Connection", "keep-alive"), 1);
    EXPECT_EQ(qvhttp_set_header(r.get(), "Timeout", "20000"), 1);
    EXPECT_EQ(qvhttp_set_header(r.get(), "Encrypt", "aes"), 1);
    EXPECT_EQ(qvhttp_set_header(r.get(), "Content-Length", "64"), 1);
    ASSERT_EQ(qvhttp_prepare(r.get()), 0);
    std::string block = take(qvhttp_req_get_hdr(r->req));
    EXPECT_EQ(
        block,
        "POST / HTTP/1.1\r\nContent-Type: application/json\r\nConnection: keep-alive\r\nTimeout: 20000\r\n"
        "Encrypt: aes\r\nContent-Length: 64\r\nHost: 127.0.0.2\r\nUser-Agent: qvhttp/1.0\r\n\r\n");
    EXPECT_EQ(block.size(), 166u);
}

TEST(QvhttpRequest, HeaderTableRules) {
    Request r(qvhttp_request_new());
    qvhttp_set_type(r.get(), QVHTTP_POST);
    qvhttp_set_uri(r.get(), "http://127.0.0.2:13111/x?q=1");
    EXPECT_EQ(qvhttp_set_header(r.get(), "User-Agent", "me"), 1);  // caller's agent stays in its place
    EXPECT_EQ(qvhttp_set_header(r.get(), "X-Foo", "1"), 1);
    EXPECT_EQ(qvhttp_set_header(r.get(), "x-foo", "2"), 1);  // same slot, first spelling kept
    EXPECT_EQ(qvhttp_set_header(r.get(), "X-Empty", ""), 1);
    EXPECT_EQ(qvhttp_set_header(r.get(), nullptr, "v"), 0);
    EXPECT_EQ(qvhttp_set_header(r.get(), "X-Null", nullptr), 0);
    ASSERT_EQ(qvhttp_prepare(r.get()), 0);
    EXPECT_EQ(take(qvhttp_req_get_hdr(r->req)),
              "POST /x?q=1 HTTP/1.1\r\nUser-Agent: me\r\nX-Foo: 2\r\nX-Empty: \r\nHost: 127.0.0.2\r\n\r\n");

    // Known names are stored in their canonical (shared) form.
    qvhttp_hdr_table *t = r->req->headers;
    EXPECT_EQ(t->header[0], qvhttp_known_header("user-agent"));
    EXPECT_EQ(qvhttp_known_header("TIMEOUT"), nullptr);
    EXPECT_EQ(qvhttp_hdr_remove(t, "x-foo"), 0);
    EXPECT_EQ(qvhttp_hdr_get(t, "X-Foo"), nullptr);

    // A full table refuses new names but still updates present ones.
    qvhttp_hdr_table *full = qvhttp_hdr_table_new();
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i)
        ASSERT_EQ(qvhttp_hdr_set(full, ("H" + std::to_string(i)).c_str(), "v"), 1);
    EXPECT_EQ(qvhttp_hdr_set(full, "One-Too-Many", "v"), 0);
    EXPECT_EQ(qvhttp_hdr_set(full, "h7", "w"), 1);
    EXPECT_STREQ(qvhttp_hdr_get(full, "H7"), "w");
    qvhttp_hdr_table_free(full);
}

// An upload's "Location" header carries the whole request JSON: far beyond 1,023 characters.
TEST(QvhttpRequest, LongHeaderBlockAndLimit) {
    Request r(qvhttp_request_new());
    qvhttp_set_type(r.get(), QVHTTP_POST);
    qvhttp_set_uri(r.get(), "http://127.0.0.2:13111");
    std::string location(5000, 'L');
    qvhttp_set_header(r.get(), "Location", location.c_str());
    qvhttp_prepare(r.get());
    std::string block = take(qvhttp_req_get_hdr(r->req));
    EXPECT_EQ(block, "POST / HTTP/1.1\r\nLocation: " + location +
                         "\r\nHost: 127.0.0.2\r\nUser-Agent: qvhttp/1.0\r\n\r\n");

    std::string huge(QVHTTP_MAX_HEADER_BLOCK, 'h');
    qvhttp_set_header(r.get(), "Location", huge.c_str());
    EXPECT_EQ(qvhttp_req_get_hdr(r->req), nullptr);  // would not fit one frame
    EXPECT_EQ(qvhttp_req_get_hdr(nullptr), nullptr);
}

TEST(QvhttpRequest, MethodAndBody) {
    Request r(qvhttp_request_new());
    EXPECT_EQ(r->req->method, QVHTTP_GET);
    EXPECT_FLOAT_EQ(r->req->version, 1.1f);
    EXPECT_EQ(r->uri->port, 80);
    char *data = static_cast<char *>(std::malloc(3));
    std::memcpy(data, "abc", 3);
    EXPECT_EQ(qvhttp_set_body(r.get(), data, 3), -1);  // GET takes no body
    EXPECT_EQ(qvhttp_set_type(r.get(), 15), -1);
    for (uint32_t m : {QVHTTP_PUT, QVHTTP_PROPFIND, QVHTTP_PROPPATCH, QVHTTP_LOCK, QVHTTP_POST}) {
        ASSERT_EQ(qvhttp_set_type(r.get(), m), 0);
        EXPECT_EQ(qvhttp_set_body(r.get(), nullptr, 0), 0);
    }
    EXPECT_EQ(qvhttp_set_body(r.get(), nullptr, 5), -1);
    EXPECT_EQ(qvhttp_set_body(r.get(), data, 3), 0);  // owned by the request from here
    EXPECT_EQ(r->req->body_len, 3u);
    EXPECT_EQ(qvhttp_set_body(nullptr, nullptr, 0), -1);
}

TEST(QvhttpRequest, PrepareSchemeAuthAndAccessors) {
    Request r(qvhttp_request_new());
    ASSERT_EQ(qvhttp_set_uri(r.get(), "https://127.0.0.2/"), 0);
    EXPECT_EQ(qvhttp_prepare(r.get()), 1);
    ASSERT_EQ(qvhttp_set_proxy(r.get(), "http://127.0.0.4:3128"), 0);
    ASSERT_EQ(qvhttp_set_authinfo(r.get(), "user", "pass"), 0);
    ASSERT_EQ(qvhttp_set_proxy_authinfo(r.get(), "Aladdin", "open sesame"), 0);
    EXPECT_EQ(qvhttp_prepare(r.get()), 0);
    EXPECT_STREQ(qvhttp_get_request_header(r.get(), "Authorization"), "Basic dXNlcjpwYXNz");
    EXPECT_STREQ(qvhttp_get_request_header(r.get(), "Proxy-Authorization"),
                 "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    ASSERT_EQ(qvhttp_set_authinfo(r.get(), "user", ""), 0);
    EXPECT_EQ(r->auth_token, nullptr);

    EXPECT_STREQ(qvhttp_get_error(r.get()), "Unknown Error.");
    char cookie[8] = "x";
    EXPECT_EQ(qvhttp_get_cookie(r.get(), cookie), 0);
    EXPECT_STREQ(cookie, "");
    EXPECT_EQ(qvhttp_get_status(nullptr), 0);
    EXPECT_EQ(qvhttp_get_body(nullptr), nullptr);
    EXPECT_EQ(qvhttp_get_body_len(nullptr), 0);
    EXPECT_EQ(qvhttp_set_authinfo(nullptr, "a", "b"), -1);
    qvhttp_request_free(nullptr);
}

struct ReplyCase {
    const char *what;
    std::string text;
    int rc;
    int status;
    float version;
    const char *reason;
    std::vector<std::pair<std::string, std::string>> headers;  // expected exactly, in slot order
};

TEST(QvhttpReply, ParseHeaderBlocks) {
    const ReplyCase cases[] = {
        {"plain",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n",
         0,
         200,
         1.1f,
         "OK",
         {{"Content-Length", "5"}}},
        {"no reason phrase",
         "HTTP/1.1 200\r\nTransfer-Encoding: chunked\r\n\r\n",
         0,
         200,
         1.1f,
         "",
         {{"Transfer-Encoding", "chunked"}}},
        {"no headers", "HTTP/1.0 404 Not Found\r\n\r\nbody", 0, 404, 1.0f, "Not Found", {}},
        {"continuation replaces",
         "HTTP/1.1 200 OK\r\nX-A: one\r\n more\r\nX-B:two \r\n\r\n",
         0,
         200,
         1.1f,
         "OK",
         {{"X-A", "more"}, {"X-B", "two "}}},
        {"repeat keeps later",
         "HTTP/1.1 200 OK\r\nEncrypt: aes\r\nencrypt: none\r\n\r\n",
         0,
         200,
         1.1f,
         "OK",
         {{"Encrypt", "none"}}},
        {"empty value and bare LF",
         "HTTP/1.1 201 Made\r\nX-E:\r\nX-F: f\n\r\n\r\n",
         0,
         201,
         1.1f,
         "Made",
         {{"X-E", ""}, {"X-F", "f"}}},
        {"leading colon ends",
         "HTTP/1.1 200 OK\r\nA: 1\r\n: x\r\nB: 2\r\n\r\n",
         0,
         200,
         1.1f,
         "OK",
         {{"A", "1"}}},
        {"name without colon ends",
         "HTTP/1.1 200 OK\r\nA: 1\r\nbroken\r\nB: 2\r\n\r\n",
         0,
         200,
         1.1f,
         "OK",
         {{"A", "1"}}},
        {"continuation first ends", "HTTP/1.1 200 OK\r\n cont\r\nA: 1\r\n\r\n", 0, 200, 1.1f, "OK", {}},
        {"not a status line", "HTTX/1.1 20x OK\r\nA: 1\r\n\r\n", 0, 0, 0.0f, nullptr, {}},
        {"code without space or CR", "HTTP/1.1 200OK\r\nA: 1\r\n\r\n", 0, 0, 0.0f, nullptr, {}},
        {"bytes after the block ignored",
         "HTTP/1.1 200 OK\r\nA: 1\r\n\r\nB: 2\r\n\r\n",
         0,
         200,
         1.1f,
         "OK",
         {{"A", "1"}}},
        {"no end marker", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", -1, 0, 0.0f, nullptr, {}},
        {"status line only, unterminated", "HTTP/1.1 200", -1, 0, 0.0f, nullptr, {}},
        {"empty", "", -1, 0, 0.0f, nullptr, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Resp p(qvhttp_resp_new());
        EXPECT_EQ(qvhttp_resp_parse_headers(p.get(), c.text.c_str()), c.rc);
        EXPECT_EQ(p->status_code, c.status);
        EXPECT_FLOAT_EQ(p->version, c.version);
        if (c.reason)
            EXPECT_STREQ(p->reason_phrase, c.reason);
        else
            EXPECT_EQ(p->reason_phrase, nullptr);
        char **names = nullptr;
        int count = 0;
        ASSERT_EQ(qvhttp_hdr_get_names(p->headers, &names, &count), 0);
        ASSERT_EQ(count, static_cast<int>(c.headers.size()));
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(names[i], c.headers[i].first);
            EXPECT_STREQ(qvhttp_hdr_get(p->headers, names[i]), c.headers[i].second.c_str());
            std::free(names[i]);
        }
        std::free(names);
    }
}

TEST(QvhttpReply, MoreHeadersThanSlots) {
    std::string text = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 300; ++i) text += "X-H" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    text += "X-H5: late\r\n\r\n";
    Request r(qvhttp_request_new());
    ASSERT_EQ(qvhttp_resp_parse_headers(r->resp, text.c_str()), 0);
    EXPECT_EQ(qvhttp_get_status(r.get()), 200);
    EXPECT_STREQ(qvhttp_get_header(r.get(), "x-h255"), "v255");
    EXPECT_EQ(qvhttp_get_header(r.get(), "X-H256"), nullptr);  // no room: dropped
    EXPECT_STREQ(qvhttp_get_header(r.get(), "X-H5"), "late");  // present names still update
    char **names = nullptr;
    int count = 0;
    ASSERT_EQ(qvhttp_get_header_names(r.get(), &names, &count), 0);
    EXPECT_EQ(count, QVHTTP_HDR_SLOTS);
    EXPECT_STREQ(names[0], "X-H0");
    for (int i = 0; i < count; ++i) std::free(names[i]);
    std::free(names);
    EXPECT_EQ(qvhttp_get_header_names(r.get(), nullptr, &count), -1);
}

TEST(QvhttpReply, LengthBoundedParseNeedsNoTerminator) {
    const char raw[] = "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n";
    std::string copy(raw, sizeof raw - 1);
    Resp p(qvhttp_resp_new());
    // Cut before the end marker: refused, record unchanged.
    EXPECT_EQ(qvhttp_resp_parse_headers_n(p.get(), copy.data(), copy.size() - 1), -1);
    EXPECT_EQ(p->status_code, 0);
    EXPECT_EQ(qvhttp_resp_parse_headers_n(p.get(), copy.data(), copy.size()), 0);
    EXPECT_STREQ(qvhttp_hdr_get(p->headers, "a"), "1");
    EXPECT_EQ(qvhttp_resp_parse_headers(nullptr, raw), -1);
    EXPECT_EQ(qvhttp_resp_parse_headers(p.get(), nullptr), -1);
}
}  // namespace
