#include "link/qvhttp.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/qv_errors.h"
#include "link/base64.h"

const char *const qvhttp_known_headers[46] = {
    "Allow",
    "Content-Encoding",
    "Content-Language",
    "Content-Length",
    "Content-Location",
    "Content-MD5",
    "Content-Range",
    "Content-Type",
    "Expires",
    "Last-Modified",
    "Cache-Control",
    "Connection",
    "Date",
    "Pragma",
    "Transfer-Encoding",
    "Update",
    "Trailer",
    "Via",
    "Accept",
    "Accept-Charset",
    "Accept-Encoding",
    "Accept-Language",
    "Authorization",
    "Expect",
    "From",
    "Host",
    "If-Modified-Since",
    "If-Match",
    "If-None-Match",
    "If-Range",
    "If-Unmodified-Since",
    "Max-Forwards",
    "Proxy-Authorization",
    "Range",
    "Referrer",
    "TE",
    "User-Agent",
    "Accept-Ranges",
    "Age",
    "ETag",
    "Location",
    "Retry-After",
    "Server",
    "Vary",
    "Warning",
    "WWW-Authenticate",
};

const char *const qvhttp_methods[QVHTTP_METHOD_COUNT] = {
    "GET",      "OPTIONS",   "HEAD",  "POST", "PUT",  "DELETE", "TRACE",  "CONNECT",
    "PROPFIND", "PROPPATCH", "MKCOL", "COPY", "MOVE", "LOCK",   "UNLOCK",
};

namespace {
constexpr const char *kUserAgent = "qvhttp/1.0";

char *dup_n(const char *s, size_t n) {
    auto *p = static_cast<char *>(std::malloc(n + 1));
    if (!p) return nullptr;
    if (n) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

char *dup(const char *s) {
    return s ? dup_n(s, std::strlen(s)) : nullptr;
}

void release(char *&p) {
    std::free(p);
    p = nullptr;
}

bool is_canonical(const char *name) {
    for (const char *k : qvhttp_known_headers)
        if (k == name) return true;
    return false;
}

bool body_allowed(uint32_t method) {
    return method == QVHTTP_POST || method == QVHTTP_PUT || method == QVHTTP_PROPFIND ||
           method == QVHTTP_PROPPATCH || method == QVHTTP_LOCK;
}

std::string base64(std::string_view in) {
    size_t n = 0;
    char *text = base64_encode(&n, in.size(), in.data());
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

// Fills user, password and token, or empties all three when either text is missing or empty.
void set_auth(char *&user, char *&password, char *&token, const char *u, const char *p) {
    release(user);
    release(password);
    release(token);
    if (!u || !p || !*u || !*p) return;
    user = dup(u);
    password = dup(p);
    std::string t = "Basic " + base64(std::string(u) + ":" + p);
    token = dup(t.c_str());
}

void uri_clear(qvhttp_uri *u) {
    release(u->full);
    release(u->scheme);
    release(u->host);
    release(u->resource);
    u->port = 80;
}

int parse_port(std::string_view digits, uint16_t *port) {
    if (digits.empty() || digits.size() > 5) return QV_ERR_ARG;
    uint32_t v = 0;
    for (char c : digits) v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > 65535) return QV_ERR_ARG;
    *port = static_cast<uint16_t>(v);
    return 0;
}
}  // namespace

// ---- URI
// --------------------------------------------------------------------------------------------------------

qvhttp_uri *qvhttp_uri_new(void) {
    auto *u = static_cast<qvhttp_uri *>(std::calloc(1, sizeof(qvhttp_uri)));
    if (u) u->port = 80;
    return u;
}

void qvhttp_uri_free(qvhttp_uri *u) {
    if (!u) return;
    uri_clear(u);
    std::free(u);
}

int qvhttp_uri_parse(const char *text, qvhttp_uri *u) {
    if (!text) return QV_ERR_ARG;
    const std::string_view s(text);
    size_t colon = s.find(':');
    if (colon == std::string_view::npos) return QV_ERR_ARG;
    if (s.substr(colon + 1, 2) != "//") return QV_ERR_ARG;

    enum { Host, Port, Resource } state = Host;
    const size_t start = colon + 3;
    std::string_view host, port_text, resource;
    size_t mark = start;  // start of the current part
    for (size_t i = start; i < s.size() && state != Resource; ++i) {
        char c = s[i];
        if (state == Host) {
            if (c == ':' || c == '/') {
                host = s.substr(mark, i - mark);
                if (host.empty()) return QV_ERR_ARG;
                mark = c == ':' ? i + 1 : i;
                state = c == ':' ? Port : Resource;
            }
        } else {  // Port
            if (c == '/') {
                port_text = s.substr(mark, i - mark);
                if (port_text.empty() || port_text.size() > 5) return QV_ERR_ARG;
                mark = i;
                state = Resource;
            } else if (c < '0' || c > '9') {
                return QV_ERR_ARG;
            }
        }
    }
    uint16_t port = 80;
    switch (state) {
        case Host:
            host = s.substr(mark);
            if (host.empty()) return QV_ERR_ARG;
            resource = "/";
            break;
        case Port:
            port_text = s.substr(mark);
            if (port_text.empty()) return QV_ERR_ARG;
            resource = "/";
            break;
        case Resource:
            resource = s.substr(mark);
            break;
    }
    // A port beyond 16 bits is refused rather than wrapped to another port.
    if (!port_text.empty() && parse_port(port_text, &port) < 0) return QV_ERR_ARG;
    if (!u) return 0;

    uri_clear(u);
    u->full = dup(text);
    u->scheme = dup_n(text, colon);
    u->host = dup_n(host.data(), host.size());
    u->port = port;
    u->resource = dup_n(resource.data(), resource.size());
    return 0;
}

int qvhttp_uri_validate(const char *text) {
    return qvhttp_uri_parse(text, nullptr);
}

// ---- Header table
// -----------------------------------------------------------------------------------------------

qvhttp_hdr_table *qvhttp_hdr_table_new(void) {
    return static_cast<qvhttp_hdr_table *>(std::calloc(1, sizeof(qvhttp_hdr_table)));
}

void qvhttp_hdr_table_free(qvhttp_hdr_table *t) {
    if (!t) return;
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i) {
        if (t->header[i] && !is_canonical(t->header[i])) std::free(t->header[i]);
        std::free(t->value[i]);
    }
    std::free(t);
}

const char *qvhttp_known_header(const char *name) {
    if (!name) return nullptr;
    for (const char *k : qvhttp_known_headers)
        if (strcasecmp(k, name) == 0) return k;
    return nullptr;
}

int qvhttp_hdr_set(qvhttp_hdr_table *t, const char *name, const char *value) {
    if (!t || !name || !value) return 0;
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i) {
        if (t->header[i] && strcasecmp(t->header[i], name) == 0) {
            char *v = dup(value);
            if (!v) return 0;
            std::free(t->value[i]);
            t->value[i] = v;
            return 1;
        }
    }
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i) {
        if (t->header[i]) continue;
        const char *known = qvhttp_known_header(name);
        char *n = known ? const_cast<char *>(known) : dup(name);
        char *v = dup(value);
        if (!n || !v) {
            if (!known) std::free(n);
            std::free(v);
            return 0;
        }
        t->header[i] = n;
        t->value[i] = v;
        return 1;
    }
    return 0;  // table full
}

int qvhttp_hdr_set_n(qvhttp_hdr_table *t, const char *name, size_t name_len, const char *value,
                     size_t value_len) {
    if (!t || !name || name_len == 0 || (!value && value_len)) return 0;
    std::string n(name, name_len);
    std::string v(value ? value : "", value_len);
    return qvhttp_hdr_set(t, n.c_str(), v.c_str());
}

const char *qvhttp_hdr_get(qvhttp_hdr_table *t, const char *name) {
    if (!t || !name) return nullptr;
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i)
        if (t->header[i] && strcasecmp(t->header[i], name) == 0) return t->value[i];
    return nullptr;
}

int qvhttp_hdr_get_names(qvhttp_hdr_table *t, char ***names, int *count) {
    if (!names || !count) return QV_ERR_ARG;
    *names = nullptr;
    *count = 0;
    if (!t) return 0;
    int n = 0;
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i)
        if (t->header[i]) ++n;
    if (n == 0) return 0;
    auto **arr = static_cast<char **>(std::calloc(static_cast<size_t>(n), sizeof(char *)));
    if (!arr) return QV_ERR_ARG;
    int k = 0;
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i) {
        if (!t->header[i]) continue;
        arr[k] = dup(t->header[i]);
        if (!arr[k]) {
            for (int j = 0; j < k; ++j) std::free(arr[j]);
            std::free(arr);
            return QV_ERR_ARG;
        }
        ++k;
    }
    *names = arr;
    *count = n;
    return 0;
}

int qvhttp_hdr_remove(qvhttp_hdr_table *t, const char *name) {
    if (!t || !name) return 0;
    for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i) {
        if (t->header[i] && strcasecmp(t->header[i], name) == 0) {
            if (!is_canonical(t->header[i])) std::free(t->header[i]);
            release(t->value[i]);
            t->header[i] = nullptr;
        }
    }
    return 0;
}

// ---- Outgoing message
// -------------------------------------------------------------------------------------------

qvhttp_req_msg *qvhttp_req_msg_new(void) {
    auto *m = static_cast<qvhttp_req_msg *>(std::calloc(1, sizeof(qvhttp_req_msg)));
    if (!m) return nullptr;
    m->method = QVHTTP_GET;
    m->version = 1.1f;
    m->headers = qvhttp_hdr_table_new();
    if (!m->headers) {
        std::free(m);
        return nullptr;
    }
    return m;
}

void qvhttp_req_msg_free(qvhttp_req_msg *m) {
    if (!m) return;
    qvhttp_hdr_table_free(m->headers);
    std::free(m->body);
    std::free(m);
}

int qvhttp_req_msg_prepare(qvhttp_req_msg *m) {
    if (!m) return QV_ERR_ARG;
    if (m->host) qvhttp_hdr_set(m->headers, "Host", m->host);
    if (!qvhttp_hdr_get(m->headers, "User-Agent")) qvhttp_hdr_set(m->headers, "User-Agent", kUserAgent);
    return 0;
}

char *qvhttp_req_get_hdr(qvhttp_req_msg *m) {
    if (!m || m->method >= QVHTTP_METHOD_COUNT) return nullptr;
    char line[64];
    std::snprintf(line, sizeof line, " HTTP/%01.1f\r\n", static_cast<double>(m->version));
    std::string block;
    block += qvhttp_methods[m->method];
    block += ' ';
    // A request sent on an existing connection without a target (the pool's close) says "/".
    block += m->resource ? m->resource : "/";
    block += line;
    if (m->headers) {
        for (int i = 0; i < QVHTTP_HDR_SLOTS; ++i) {
            const char *name = m->headers->header[i];
            if (!name || !*name) continue;
            block += name;
            block += ": ";
            if (m->headers->value[i]) block += m->headers->value[i];
            block += "\r\n";
            if (block.size() > QVHTTP_MAX_HEADER_BLOCK) return nullptr;
        }
    }
    block += "\r\n";
    if (block.size() > QVHTTP_MAX_HEADER_BLOCK) return nullptr;
    return dup_n(block.data(), block.size());
}

// ---- Reply
// ------------------------------------------------------------------------------------------------------

qvhttp_resp *qvhttp_resp_new(void) {
    auto *p = static_cast<qvhttp_resp *>(std::calloc(1, sizeof(qvhttp_resp)));
    if (!p) return nullptr;
    p->headers = qvhttp_hdr_table_new();
    if (!p->headers) {
        std::free(p);
        return nullptr;
    }
    return p;
}

void qvhttp_resp_free(qvhttp_resp *p) {
    if (!p) return;
    std::free(p->reason_phrase);
    qvhttp_hdr_table_free(p->headers);
    std::free(p->body);
    std::free(p);
}

namespace {
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// "HTTP" + any character + digit '.' digit ' ' + three digits, then a space before the reason phrase or the
// end of the line when there is none.
bool is_status_line(std::string_view b) {
    if (b.size() < 13 || b.substr(0, 4) != "HTTP") return false;
    if (!is_digit(b[5]) || b[6] != '.' || !is_digit(b[7]) || b[8] != ' ') return false;
    if (!is_digit(b[9]) || !is_digit(b[10]) || !is_digit(b[11])) return false;
    return b[12] == ' ' || b[12] == '\r';
}
}  // namespace

int qvhttp_resp_parse_headers_n(qvhttp_resp *p, const char *text, size_t len) {
    if (!p || !text) return QV_ERR_ARG;
    const std::string_view all(text, len);
    const size_t end = all.find("\r\n\r\n");
    if (end == std::string_view::npos) return QV_ERR_FAILED;  // truncated block: nothing is taken from it
    // Everything up to and including the first CR of the end marker; the marker's CR ends the last line.
    const std::string_view b = all.substr(0, end + 1);
    if (!is_status_line(all.substr(0, end + 4))) return 0;

    p->version = static_cast<float>(b[5] - '0') + static_cast<float>(b[7] - '0') / 10.0f;
    p->status_code = (b[9] - '0') * 100 + (b[10] - '0') * 10 + (b[11] - '0');
    const size_t line_end = b.find('\r');  // exists: b ends with a CR
    size_t reason_from = b[12] == ' ' ? 13 : 12;
    if (reason_from > line_end) reason_from = line_end;
    char *reason = dup_n(b.data() + reason_from, line_end - reason_from);
    std::free(p->reason_phrase);
    p->reason_phrase = reason;
    if (line_end == end) return 0;  // no header lines

    std::string last_name;
    size_t i = line_end;
    const size_t stop = b.size();
    auto skip_eol = [&] {
        while (i < stop && (b[i] == '\r' || b[i] == '\n')) ++i;
    };
    auto value_end = [&](size_t from) {
        size_t k = from;
        while (k < stop && b[k] != '\r' && b[k] != '\n') ++k;
        return k;
    };
    for (;;) {
        skip_eol();
        if (i >= stop) break;
        if (b[i] == ' ' || b[i] == '\t') {  // continuation: replaces the previous header's value
            if (last_name.empty()) break;
            while (i < stop && (b[i] == ' ' || b[i] == '\t')) ++i;
            size_t ve = value_end(i);
            qvhttp_hdr_set_n(p->headers, last_name.data(), last_name.size(), b.data() + i, ve - i);
            i = ve;
            continue;
        }
        if (b[i] == ':') break;
        size_t name_from = i;
        while (i < stop && b[i] != ':' && b[i] != '\r' && b[i] != '\n') ++i;
        if (i >= stop || b[i] != ':') break;
        std::string_view name = b.substr(name_from, i - name_from);
        ++i;
        while (i < stop && (b[i] == ' ' || b[i] == '\t')) ++i;
        size_t ve = value_end(i);
        qvhttp_hdr_set_n(p->headers, name.data(), name.size(), b.data() + i, ve - i);
        last_name.assign(name);
        i = ve;
    }
    return 0;
}

int qvhttp_resp_parse_headers(qvhttp_resp *p, const char *text) {
    if (!text) return QV_ERR_ARG;
    return qvhttp_resp_parse_headers_n(p, text, std::strlen(text));
}

// ---- Request object
// ---------------------------------------------------------------------------------------------

qvhttp_request *qvhttp_request_new(void) {
    auto *r = static_cast<qvhttp_request *>(std::calloc(1, sizeof(qvhttp_request)));
    if (!r) return nullptr;
    r->uri = qvhttp_uri_new();
    r->proxy = qvhttp_uri_new();
    r->req = qvhttp_req_msg_new();
    r->resp = qvhttp_resp_new();
    if (!r->uri || !r->proxy || !r->req || !r->resp) {
        qvhttp_request_free(r);
        return nullptr;
    }
    return r;
}

void qvhttp_request_free(qvhttp_request *r) {
    if (!r) return;
    qvhttp_uri_free(r->uri);
    qvhttp_uri_free(r->proxy);
    qvhttp_req_msg_free(r->req);
    qvhttp_resp_free(r->resp);
    std::free(r->error_text);
    std::free(r->cookie);
    std::free(r->user);
    std::free(r->password);
    std::free(r->auth_token);
    std::free(r->proxy_user);
    std::free(r->proxy_password);
    std::free(r->proxy_auth_token);
    std::free(r);
}

// Releases everything the request owns, the authorisation texts included, so that no caller leaks them.
void qvhttp_request_destroy(qvhttp_request *r) {
    qvhttp_request_free(r);
}

int qvhttp_set_uri(qvhttp_request *r, const char *text) {
    if (!r || !text) return QV_ERR_ARG;
    qvhttp_uri *u = qvhttp_uri_new();
    if (!u) return QV_ERR_ARG;
    if (qvhttp_uri_parse(text, u) < 0) {
        qvhttp_uri_free(u);
        return QV_ERR_ARG;
    }
    qvhttp_uri *cur = r->uri;
    if (cur && cur->host && cur->port && cur->resource && std::strcmp(cur->host, u->host) == 0 &&
        cur->port == u->port) {
        std::swap(cur->resource, u->resource);
        qvhttp_uri_free(u);
    } else {
        qvhttp_uri_free(cur);
        r->uri = u;
    }
    return 0;
}

int qvhttp_set_proxy(qvhttp_request *r, const char *text) {
    if (!r || !r->proxy) return QV_ERR_ARG;
    return qvhttp_uri_parse(text, r->proxy);
}

int qvhttp_set_type(qvhttp_request *r, uint32_t method) {
    if (!r || !r->req || method >= QVHTTP_METHOD_COUNT) return QV_ERR_ARG;
    r->req->method = method;
    return 0;
}

int qvhttp_set_body(qvhttp_request *r, char *data, uint64_t len) {
    if (!r || !r->req || (!data && len) || !body_allowed(r->req->method)) return QV_ERR_ARG;
    if (r->req->body != data) std::free(r->req->body);
    r->req->body = data;
    r->req->body_len = len;
    return 0;
}

void qvhttp_set_file_task(qvhttp_request *r, client_file_task *task) {
    if (r) r->file_task = task;
}

int qvhttp_set_header(qvhttp_request *r, const char *name, const char *value) {
    if (!r || !r->req) return 0;
    return qvhttp_hdr_set(r->req->headers, name, value);
}

const char *qvhttp_get_request_header(qvhttp_request *r, const char *name) {
    return r && r->req ? qvhttp_hdr_get(r->req->headers, name) : nullptr;
}

const char *qvhttp_get_header(qvhttp_request *r, const char *name) {
    return r && r->resp ? qvhttp_hdr_get(r->resp->headers, name) : nullptr;
}

int qvhttp_get_header_names(qvhttp_request *r, char ***names, int *count) {
    if (!names || !count) return QV_ERR_ARG;
    return qvhttp_hdr_get_names(r && r->resp ? r->resp->headers : nullptr, names, count);
}

int qvhttp_prepare(qvhttp_request *r) {
    if (!r || !r->req || !r->uri) return QV_ERR_ARG;
    const bool has_proxy = r->proxy && r->proxy->host && *r->proxy->host;
    if (!has_proxy && r->uri->scheme && std::strcmp(r->uri->scheme, "http") != 0) return 1;
    // Always re-point both: the uri record may have been replaced since the last prepare.
    r->req->resource = r->uri->resource;
    r->req->host = r->uri->host;
    if (r->auth_token && *r->auth_token) qvhttp_hdr_set(r->req->headers, "Authorization", r->auth_token);
    if (r->proxy_auth_token && *r->proxy_auth_token)
        qvhttp_hdr_set(r->req->headers, "Proxy-Authorization", r->proxy_auth_token);
    return qvhttp_req_msg_prepare(r->req);
}

int qvhttp_get_status(qvhttp_request *r) {
    return r && r->resp ? r->resp->status_code : 0;
}

const char *qvhttp_get_reason_phrase(qvhttp_request *r) {
    return r && r->resp ? r->resp->reason_phrase : nullptr;
}

char *qvhttp_get_body(qvhttp_request *r) {
    return r && r->resp ? r->resp->body : nullptr;
}

int qvhttp_get_body_len(qvhttp_request *r) {
    return r && r->resp ? r->resp->body_len : 0;
}

const char *qvhttp_get_error(qvhttp_request *r) {
    return r && r->error_text && *r->error_text ? r->error_text : "Unknown Error.";
}

int qvhttp_get_cookie(qvhttp_request *r, char *buf) {
    if (!buf) return QV_ERR_ARG;
    const char *c = r && r->cookie ? r->cookie : "";
    std::memcpy(buf, c, std::strlen(c) + 1);
    return 0;
}

int qvhttp_set_authinfo(qvhttp_request *r, const char *user, const char *password) {
    if (!r) return QV_ERR_ARG;
    set_auth(r->user, r->password, r->auth_token, user, password);
    return 0;
}

int qvhttp_set_proxy_authinfo(qvhttp_request *r, const char *user, const char *password) {
    if (!r) return QV_ERR_ARG;
    set_auth(r->proxy_user, r->proxy_password, r->proxy_auth_token, user, password);
    return 0;
}
