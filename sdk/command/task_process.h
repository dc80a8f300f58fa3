// Command task processors: carry one filled client_info through the request builder, one transport and
// the reply parser. Every processor frees `retstr` and `recv_buf` (and `cacheKey`) before it returns.
#pragma once

#include <cstdint>
#include <string>

#include "base/qv_defaults.h"
#include "codec/client_info.h"

struct qvhttp_request;

// A reply as it may be logged: its head (2,000 characters) with every copy of the session token masked
// ("***"); replies echo the token in their header, and the log must never hold it.
std::string qv_redacted_reply(const char *reply, int64_t token);

// HTTP command processor of ordinary commands (whole or streamed replies). 0, the builder's code, the
// exchange's code, the device's header error or the parser's code. A command that is not answered as a
// stream must come back with a reply envelope: an exchange that leaves no reply text for such a command
// is QV_ERR_NOT_BUILT.
int _qv_net_prcs_task(client_info *info);
// Reverse-push processor (174) on the task's held connection; a cancelled exchange (QV_ERR_CANCELLED)
// gives 0.
int _qv_net_keep_alive_prcs_task(client_info *info);
// Framed-socket path: one framed JSON request and one framed reply on a socket of its own.
int _qv_check_prcs_task(client_info *info);
// Sends `retstr` as one frame on `client_fd`: 0 or -1.
int file_send_result_to_server(client_info *info);
// Receives one frame on `client_fd` into `recv_buf` within the time-out: 0, QV_ERR_RECV, QV_ERR_DL_CLOSED
// or QV_ERR_FAILED.
int _recv_req_from_client(client_info *info);
// Opens a device file as a read stream: the handle, or null.
qvhttp_request *_qv_open_prcs_task(client_info *info);
int _qv_read_prcs_task(qvhttp_request *stream, char *buf, int size);
int _qv_write_prcs_task(qvhttp_request *stream, const char *data, int len);
void _qv_close_prcs_task(qvhttp_request *stream);

// The command cache hooks of the HTTP processor. With no hooks set (the default) every request goes to
// the device. `query` returns 0 and a new heap text in `*reply` on a hit; `insert`'s result is ignored.
// Only a cacheable command (its row names a database) has a cache key; the database selector is its
// row's qv_cache_db (QV_CACHE_USER for "cache.db", QV_CACHE_RECENT for "recent_cache.db").
using qv_cache_query_fn = int (*)(const char *key, char **reply, int64_t token, int db);
using qv_cache_insert_fn = int (*)(const char *key, const char *reply, int64_t token, int db);
void qv_set_command_cache_hooks(qv_cache_query_fn query, qv_cache_insert_fn insert);
// Decoded copies beside the texts: `apply` fills `info` from the copy kept for `key` as a parse of its
// reply would (0; the command is then done) or finds none (-1); `keep` is handed the results of every
// good parse of a cached text of `key` (a row read again), never of the device's reply that stored it.
using qv_cache_apply_fn = int (*)(const char *key, client_info *info, int64_t token, int db);
using qv_cache_keep_fn = void (*)(const char *key, const client_info *info, int64_t token, int db);
void qv_set_command_cache_copy_hooks(qv_cache_apply_fn apply, qv_cache_keep_fn keep);
// Called after a command of the HTTP processor: with `key`, the cached text of that key did not parse
// (the device was asked instead); with a null key, command `cmd` without a cache key succeeded.
using qv_cache_forget_fn = void (*)(const char *key, int64_t token, int32_t cmd);
void qv_set_command_cache_forget_hook(qv_cache_forget_fn forget);
// For the processors besides the HTTP one: command `cmd` of session `token` may have changed the device's
// files (calls the forget hook with a null key).
void qv_command_cache_changed(int64_t token, int32_t cmd);

// True for the commands whose replies normally come chunked (their rows say QV_CMD_STREAMED).
bool qv_cmd_is_streamed(int32_t cmd);
