// The HTTP request object of the device link: target URI, outgoing message, the 256-slot header table shared
// by request and reply, the request's header block and the parser of the reply's header block.
//
// Ownership: every text and buffer held by these records is allocated with malloc and released by the
// matching free function; texts returned "new" to the caller are released by the caller with free().
// A request is used by one thread from qvhttp_request_new to qvhttp_request_destroy.
#pragma once

#include <cstddef>
#include <cstdint>

// Defined by the command layer: cancel flag, time-out, streamed-reply callbacks of one exchange.
struct client_file_task;

constexpr int QVHTTP_HDR_SLOTS = 256;
constexpr int QVHTTP_METHOD_COUNT = 15;
// The header block travels as one framed message, so it may not exceed the frame limit.
constexpr size_t QVHTTP_MAX_HEADER_BLOCK = 0xA00000;

enum qvhttp_method : uint32_t {
    QVHTTP_GET = 0,
    QVHTTP_OPTIONS,
    QVHTTP_HEAD,
    QVHTTP_POST,
    QVHTTP_PUT,
    QVHTTP_DELETE,
    QVHTTP_TRACE,
    QVHTTP_CONNECT,
    QVHTTP_PROPFIND,
    QVHTTP_PROPPATCH,
    QVHTTP_MKCOL,
    QVHTTP_COPY,
    QVHTTP_MOVE,
    QVHTTP_LOCK,
    QVHTTP_UNLOCK,
};

// Slot i of `header` and `value` belong together; a free slot has no name. A name is either the canonical
// text of the known-name table (shared, never released) or an owned copy.
struct qvhttp_hdr_table {
    char *header[QVHTTP_HDR_SLOTS];
    char *value[QVHTTP_HDR_SLOTS];
};

struct qvhttp_uri {
    char *full;
    char *scheme;
    char *host;
    uint16_t port;   // 80 when the text gives none
    char *resource;  // from the leading '/' to the end, query included; "/" when there is no path
};

struct qvhttp_req_msg {
    uint32_t method;  // index into the method table; GET when new
    float version;    // 1.1 when new
    char *host;       // borrowed from the request's uri at prepare
    char *resource;   // borrowed from the request's uri at prepare
    char *body;       // owned from qvhttp_set_body on
    uint64_t body_len;
    qvhttp_hdr_table *headers;
};

struct qvhttp_resp {
    float version;
    int32_t status_code;  // 0 until a status line has been parsed
    char *reason_phrase;
    qvhttp_hdr_table *headers;
    char *body;  // reply body, or the current chunk of a chunked reply
    int32_t body_len;
    int64_t content_length;
};

struct qvhttp_request {
    qvhttp_uri *uri;
    qvhttp_uri *proxy;
    qvhttp_req_msg *req;
    qvhttp_resp *resp;
    char *error_text;
    char *user;
    char *password;
    char *auth_token;
    char *proxy_user;
    char *proxy_password;
    char *proxy_auth_token;
    char *cookie;
    client_file_task *file_task;  // borrowed, may be null
    int32_t sock;                 // socket of an open download stream; 0 until opened
};

extern const char *const qvhttp_known_headers[46];
extern const char *const qvhttp_methods[QVHTTP_METHOD_COUNT];

// ---- Request object
// ---------------------------------------------------------------------------------------------
qvhttp_request *qvhttp_request_new(void);
void qvhttp_request_destroy(qvhttp_request *r);
void qvhttp_request_free(qvhttp_request *r);  // also releases the authorisation texts
int qvhttp_set_uri(qvhttp_request *r, const char *text);
int qvhttp_uri_validate(const char *text);
int qvhttp_set_proxy(qvhttp_request *r, const char *text);
int qvhttp_set_type(qvhttp_request *r, uint32_t method);
// Takes ownership of `data` (malloc'd) on success.
int qvhttp_set_body(qvhttp_request *r, char *data, uint64_t len);
void qvhttp_set_file_task(qvhttp_request *r, client_file_task *task);
int qvhttp_set_header(qvhttp_request *r, const char *name, const char *value);
const char *qvhttp_get_request_header(qvhttp_request *r, const char *name);
const char *qvhttp_get_header(qvhttp_request *r, const char *name);
// Copies of the reply's header names in slot order; free each name and the array.
int qvhttp_get_header_names(qvhttp_request *r, char ***names, int *count);
int qvhttp_prepare(qvhttp_request *r);
int qvhttp_get_status(qvhttp_request *r);
const char *qvhttp_get_reason_phrase(qvhttp_request *r);
char *qvhttp_get_body(qvhttp_request *r);
int qvhttp_get_body_len(qvhttp_request *r);
const char *qvhttp_get_error(qvhttp_request *r);
// `buf` must hold the cookie text (empty when there is none).
int qvhttp_get_cookie(qvhttp_request *r, char *buf);
int qvhttp_set_authinfo(qvhttp_request *r, const char *user, const char *password);
int qvhttp_set_proxy_authinfo(qvhttp_request *r, const char *user, const char *password);
// The header block (request line, header lines, empty line) as a new text; null when it cannot be built
// (no message, out of memory, or longer than QVHTTP_MAX_HEADER_BLOCK).
char *qvhttp_req_get_hdr(qvhttp_req_msg *m);

// ---- Parts used by the exchanges
// --------------------------------------------------------------------------------
qvhttp_uri *qvhttp_uri_new(void);
void qvhttp_uri_free(qvhttp_uri *u);
int qvhttp_uri_parse(const char *text, qvhttp_uri *u);  // u may be null: check only

qvhttp_req_msg *qvhttp_req_msg_new(void);
void qvhttp_req_msg_free(qvhttp_req_msg *m);
int qvhttp_req_msg_prepare(qvhttp_req_msg *m);

qvhttp_hdr_table *qvhttp_hdr_table_new(void);
void qvhttp_hdr_table_free(qvhttp_hdr_table *t);
int qvhttp_hdr_set(qvhttp_hdr_table *t, const char *name, const char *value);
int qvhttp_hdr_set_n(qvhttp_hdr_table *t, const char *name, size_t name_len, const char *value,
                     size_t value_len);
const char *qvhttp_hdr_get(qvhttp_hdr_table *t, const char *name);
int qvhttp_hdr_get_names(qvhttp_hdr_table *t, char ***names, int *count);
int qvhttp_hdr_remove(qvhttp_hdr_table *t, const char *name);
const char *qvhttp_known_header(const char *name);

qvhttp_resp *qvhttp_resp_new(void);
void qvhttp_resp_free(qvhttp_resp *p);
// Parses a reply header block (zero-terminated). 0 when the block ends with "\r\n\r\n" (headers beyond the
// 256 slots are dropped); QV_ERR_ARG without a reply or text, QV_ERR_FAILED when the end of the block is
// missing: then the reply record is left unchanged. A first line that is not a status line leaves the record
// unchanged too (result 0).
int qvhttp_resp_parse_headers(qvhttp_resp *p, const char *text);
// As above for a text of `len` bytes (need not be terminated).
int qvhttp_resp_parse_headers_n(qvhttp_resp *p, const char *text, size_t len);
