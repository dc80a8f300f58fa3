// Service-login HTTPS transport on libcurl (one request per record, synchronous on an easy handle or
// asynchronous on a multi handle that the caller's thread polls), the request signature, and the four
// QR-code login commands with their reply parsers.
//
// TLS is always verified: the server's chain against the certificates of the build's trust bundle, and its
// host name. No switch turns that off, and the library's verbose trace stays off (URLs carry codes).
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct qvsl_sign_block {
    char content_type[96];
    char verb[16];
    char content_md5[33];
    char date[128];
    char path[1024];
    char query[512];
    char checksum_algorithm[16];
};

using qvsl_receive_fn = size_t (*)(char *bytes, size_t size, size_t count, void *data);
using qvsl_progress_fn = int (*)(void *data, curl_off_t total_down, curl_off_t now_down, curl_off_t total_up,
                                 curl_off_t now_up);

// One request and its reply; zeroed by its owner before every command.
struct qvsl_http_data {
    int32_t cmd;
    int32_t result;  // 0; -1 after a local failure; the service's error code after an error reply
    char err_msg[65];
    char app_id[65];
    char app_key[65];
    char url[1024];
    char *postfield;  // body (owned by the builder); present: POST
    char *recv_buf;   // reply body, NUL-terminated, grown by the write callback
    int32_t timeout;
    int32_t connect_timeout;
    int64_t recv_len;
    int32_t platform_type;
    int32_t os;
    FILE *fp;
    int32_t save_to_file;
    int32_t show_progress;
    int64_t last_progress_sec;
    char auth_url[1025];
    char auth_id[65];
    int32_t exprect;
    char nick_name[65];
    char user_image[1025];
    char auth_code[1025];
    qvsl_sign_block sign;
    qvsl_receive_fn receive_cb;
    qvsl_progress_fn progress_cb;
    int32_t stop;  // set from another thread (read and written atomically) to end an asynchronous wait
    int32_t status_code;
    int32_t running;
};

enum {
    QVSL_CMD_GET_AUTH_URL = 100,
    QVSL_CMD_GET_AUTH_INFO = 102,
    QVSL_CMD_SEND_USER_INFO = 103,
    QVSL_CMD_SEND_AUTH_CODE = 104,
    QVSL_ERR_LOCAL = 20000,
};

// Transport.
CURL *curl_sync_init(qvsl_http_data *data);
int curl_sync_request(CURL *handle, qvsl_http_data *data);  // 0 completed, 2 transfer error
void curl_sync_destroy(CURL *handle);
int curl_async_init(qvsl_http_data *data, CURL **easy, CURLM **multi, curl_slist **headers);
int curl_async_request(CURLM *multi, qvsl_http_data *data);
int curl_async_getinfo(CURLM *multi, qvsl_http_data *data);
void curl_async_destroy(CURLM *multi, CURL *easy, curl_slist *headers);
// Header lines from the signing block, each only when its field is set; NULL when none.
curl_slist *curl_build_headers(const qvsl_sign_block *sign);
int qvsl_http_sync_request(qvsl_http_data *data);   // 0 when a reply of any status came; -1
int qvsl_http_async_request(qvsl_http_data *data);  // 0 on status 200 or when stopped; -1
size_t qvsl_http_receive_cb(char *bytes, size_t size, size_t count, void *data);
int qvsl_http_progress_cb(void *data, curl_off_t total_down, curl_off_t now_down, curl_off_t total_up,
                          curl_off_t now_up);
// Zeroes the record; its stop flag is cleared atomically, since another thread may set it at any time.
void qvsl_http_reset(qvsl_http_data *data);
void qvsl_http_set_stop(qvsl_http_data *data);
bool qvsl_http_stopped(const qvsl_http_data *data);

// Signature.
// "Thu, 10 Dec 2026 09:05:07 GMT" for the current UTC time (day not zero-padded); out holds >= 30 bytes.
void qvsl_http_get_local_time(char *out);
// 32 upper-case hex characters of the MD5 of the bytes (no terminator written).
void qvsl_http_content_md5(const void *bytes, size_t len, char *out);
// The string to sign of a record's signing block.
std::string qvsl_http_string_to_sign(const qvsl_sign_block *sign);
// The percent-encoded ssig into out (NUL-terminated): 0, or -1 (missing argument, out_cap < 11, no fit).
int qvsl_http_create_encode_ssig(const qvsl_http_data *data, char *out, int out_cap);

// Commands.
// Runs the command named by data->cmd: 0, a mapped service code, or 20000 for every local failure.
int qvsl_http_process(qvsl_http_data *data);
// Reads the reply in recv_buf (header, then the command's values) into the record; sets result.
void qvsl_http_parse_reply(qvsl_http_data *data);
// The layer's result code for a record's result.
int qvsl_http_map_result(int result);
// Where the service lives: "host" or "host:port" (reached over https). Loopback by default.
void qvsl_http_set_service_host(const char *host);
