#include "command/task_process.h"

#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "command/net_transport.h"
#include "link/msg.h"
#include "link/qv_owned.h"

namespace {

// Replies that carry an authorisation code or the P2P uuid, and the firmware replies (their header echoes
// the session token), are logged by length only. A log line holds 2 KiB, so only the head of a reply is
// formatted: a long page is not scanned to be cut.
void log_reply(const client_info *info) {
    if (info->cmd == 202 || info->cmd == 203 || info->cmd == 163 || info->cmd == 165 || info->cmd == 173)
        QV_LOG_DEBUG("p_client_info->recv_buf: %zu bytes", std::strlen(info->recv_buf));
    else
        QV_LOG_DEBUG("p_client_info->recv_buf = %s", qv_redacted_reply(info->recv_buf, info->token).c_str());
}

std::atomic<qv_cache_query_fn> g_cache_query{nullptr};
std::atomic<qv_cache_insert_fn> g_cache_insert{nullptr};
std::atomic<qv_cache_forget_fn> g_cache_forget{nullptr};
std::atomic<qv_cache_apply_fn> g_cache_apply{nullptr};
std::atomic<qv_cache_keep_fn> g_cache_keep{nullptr};

void free_texts(client_info *info) {
    std::free(info->cacheKey);
    info->cacheKey = nullptr;
    std::free(info->recv_buf);
    info->recv_buf = nullptr;
    std::free(info->retstr);
    info->retstr = nullptr;
}

void form_url(const client_info *info, char (&url)[1024]) {
    std::snprintf(url, sizeof url, "http://%s:%d", info->ip, info->port);
}

// Installs the row's chunk parser and release on the task of a streamed command.
void install_stream_parser(client_info *info) {
    client_file_task *task = info->rClientFileTask;
    const file_cmd_row *row = file_cmd_row_of(info->cmd);
    if (task == nullptr) return;
    task->cmd = info->cmd;
    if (row == nullptr || row->chunk_parser == nullptr) return;
    task->parse_cb = row->chunk_parser;
    if (row->chunk_destroy != nullptr) task->destroy_cb = row->chunk_destroy;
}

// The cache hooks' database selector of a cacheable command.
int cache_db(int32_t cmd) {
    const qv_cache_db db = file_cmd_cache_db(cmd);
    return db == QV_CACHE_NONE ? QV_CACHE_USER : db;
}

void copy_ota_values(client_info *info) {
    client_file_task *task = info->rClientFileTask;
    if (task == nullptr) return;
    info->status = task->status.load();  // the device's answer, as the stream parser left it
    info->process = task->cur_progress.load();
    info->total = task->total_progress.load();
    std::snprintf(info->ver, sizeof info->ver, "%s", task->version);
    info->delay = task->delay;
    std::free(info->reserved);
    info->reserved = task->reserved ? strdup(task->reserved) : nullptr;
}

// Sends the built request and reads the reply into `recv_buf`: 0 or the exchange's code.
int exchange(client_info *info) {
    install_stream_parser(info);
    char url[1024];
    form_url(info, url);
    if (info->retstr == nullptr || info->retstr[0] == '\0') {
        QV_LOG_ERROR("retstr is NULL");
        return QV_ERR_NOT_BUILT;
    }
    uint64_t reply_len = 0;
    const int ret =
        qv_net_post(url, info->retstr, info->timeout, &info->recv_buf, &reply_len, info->rClientFileTask);
    if (ret != 0) {
        QV_LOG_ERROR("qv net post error %d,ret:%d", info->cmd, ret);
        return ret;
    }
    if (info->cmd == 163) copy_ota_values(info);
    return 0;
}

}  // namespace

std::string qv_redacted_reply(const char *reply, int64_t token) {
    if (reply == nullptr) return "(null)";
    std::string head(reply, strnlen(reply, 2000));
    if (token == 0) return head;
    const std::string text = std::to_string(token);
    for (size_t at = head.find(text); at != std::string::npos; at = head.find(text, at + 3))
        head.replace(at, text.size(), "***");
    return head;
}

void qv_set_command_cache_forget_hook(qv_cache_forget_fn forget) {
    g_cache_forget.store(forget);
}

void qv_command_cache_changed(int64_t token, int32_t cmd) {
    if (const qv_cache_forget_fn forget = g_cache_forget.load()) forget(nullptr, token, cmd);
}

void qv_set_command_cache_hooks(qv_cache_query_fn query, qv_cache_insert_fn insert) {
    g_cache_query.store(query);
    g_cache_insert.store(insert);
}

void qv_set_command_cache_copy_hooks(qv_cache_apply_fn apply, qv_cache_keep_fn keep) {
    g_cache_apply.store(apply);
    g_cache_keep.store(keep);
}

bool qv_cmd_is_streamed(int32_t cmd) {
    return file_cmd_is_streamed(cmd);
}

int _qv_net_prcs_task(client_info *info) {
    if (info == nullptr) return QV_ERR_ARG;
    if (info->timeout == 0) info->timeout = QV_DEFAULT_TIMEOUT_MS;
    if (info->rClientFileTask != nullptr) info->rClientFileTask->timeout = info->timeout;

    int ret = file_process(info);
    if (ret != 0) {
        free_texts(info);
        return ret;
    }

    // A decoded copy of the reply is put back without any parse.
    const qv_cache_apply_fn apply = g_cache_apply.load();
    if (info->cacheKey != nullptr && apply != nullptr &&
        apply(info->cacheKey, info, info->token, cache_db(info->cmd)) == 0) {
        info->cacheHit = 1;
        QV_LOG_DEBUG("cache is exit!");
        free_texts(info);
        return 0;
    }

    bool from_cache = false;
    const qv_cache_query_fn query = g_cache_query.load();
    if (info->cacheKey != nullptr && query != nullptr) {
        char *cached = nullptr;
        if (query(info->cacheKey, &cached, info->token, cache_db(info->cmd)) == 0 && cached != nullptr) {
            info->recv_buf = cached;
            info->cacheHit = 1;
            from_cache = true;
            QV_LOG_DEBUG("cache is exit!");
        } else {
            std::free(cached);
        }
    }

    if (!from_cache && (ret = exchange(info)) != 0) {
        free_texts(info);
        return ret;
    }

    // The parse overwrites these with the reply header's; a cached header is an older request's.
    const int32_t cmd = info->cmd;
    const int64_t token = info->token;
    const int64_t seq = info->seq;
    if (info->recv_buf != nullptr) {
        log_reply(info);
        ret = file_parse_process(info);
        if (from_cache) {
            info->token = token;
            info->seq = seq;
        }
        if (ret != 0 && from_cache) {
            // A cached text that does not parse is dropped and the device asked instead.
            if (const qv_cache_forget_fn forget = g_cache_forget.load()) forget(info->cacheKey, token, cmd);
            std::free(info->recv_buf);
            info->recv_buf = nullptr;
            info->cmd = cmd;
            info->cacheHit = 0;
            from_cache = false;
            if ((ret = exchange(info)) != 0) {
                free_texts(info);
                return ret;
            }
            ret = info->recv_buf != nullptr ? file_parse_process(info) : QV_ERR_NOT_BUILT;
        }
        const qv_cache_insert_fn insert = g_cache_insert.load();
        if (ret == 0 && info->cacheKey != nullptr && !from_cache && insert != nullptr)
            insert(info->cacheKey, info->recv_buf, token, cache_db(cmd));
        // A decoded copy is kept for a row that is read again, not on the miss that stored it: the miss
        // would pay for a copy that most listings never use.
        const qv_cache_keep_fn keep = g_cache_keep.load();
        if (ret == 0 && from_cache && info->cacheKey != nullptr && keep != nullptr)
            keep(info->cacheKey, info, token, cache_db(cmd));
    } else if (!qv_cmd_is_streamed(info->cmd)) {
        // No envelope came back (an empty body or an encoding the client does not read): nothing was
        // parsed, so the command did not succeed.
        QV_LOG_ERROR("no reply text for cmd %d", info->cmd);
        ret = QV_ERR_NOT_BUILT;
    } else {
        ret = 0;
    }
    const qv_cache_forget_fn forget = g_cache_forget.load();
    if (ret == 0 && info->cacheKey == nullptr && forget != nullptr) forget(nullptr, token, cmd);
    free_texts(info);
    return ret;
}

int _qv_net_keep_alive_prcs_task(client_info *info) {
    if (info == nullptr || info->rClientFileTask == nullptr) return QV_ERR_ARG;
    if (info->timeout == 0) info->timeout = QV_DEFAULT_TIMEOUT_MS;
    int ret = file_process(info);
    if (ret != 0) {
        free_texts(info);
        return ret;
    }
    install_stream_parser(info);
    char url[1024];
    form_url(info, url);
    uint64_t reply_len = 0;
    ret = qv_net_keep_alive_post(url, info->retstr, info->timeout, &info->recv_buf, &reply_len,
                                 info->rClientFileTask);
    if (ret == QV_ERR_CANCELLED) {
        ret = 0;
    } else if (ret != 0) {
        QV_LOG_ERROR("qv net post error %d :%s", info->cmd, url);
    } else if (info->recv_buf != nullptr) {
        log_reply(info);
        ret = file_parse_process(info);
        if (ret != 0) QV_LOG_DEBUG("parser json error");
    }
    free_texts(info);
    return ret;
}

int file_send_result_to_server(client_info *info) {
    const uint32_t len = info->retstr ? static_cast<uint32_t>(std::strlen(info->retstr)) : 0;
    const int ret = QV_MsgSend(info->client_fd, info->retstr, len);
    if (ret != 0) {
        QV_LOG_ERROR("QV send failed with %d,client_info->client_fd = %d", ret, info->client_fd);
        return QV_ERR_FAILED;
    }
    return 0;
}

int _recv_req_from_client(client_info *info) {
    const uint32_t wait = static_cast<uint32_t>(info->timeout);
    char *received = nullptr;
    const int n = QV_MsgReceive(info->client_fd, &received, &wait);
    qv::c_text out(received);
    if (n > 0) {
        std::free(info->recv_buf);
        info->recv_buf = out.release();
        return QV_OK;
    }
    if (n == QV_ERR_SOCK_TIMEOUT) return QV_ERR_RECV;
    if (n == QV_ERR_SOCK_CLOSED) return QV_ERR_DL_CLOSED;
    return QV_ERR_FAILED;
}

int _qv_check_prcs_task(client_info *info) {
    if (info == nullptr) return QV_ERR_ARG;
    if (info->timeout == 0) info->timeout = QV_DEFAULT_TIMEOUT_MS;
    int ret = file_process(info);
    if (ret != 0) {
        free_texts(info);
        return ret;
    }
    // The connect is bounded by the request's time-out: an unreachable device must not stall the caller
    // for the system's connect time-out.
    info->client_fd = QV_InetClientTimeOutInit(AF_INET, static_cast<uint16_t>(info->port), SOCK_STREAM,
                                               info->ip, info->timeout);
    if (info->client_fd < 0 || set_blocking_mode(info->client_fd) < 0) {
        if (info->client_fd >= 0) QV_SockClose(info->client_fd);
        info->client_fd = -1;
        free_texts(info);
        return QV_ERR_NET;
    }
    if (file_send_result_to_server(info) != 0) {
        QV_LOG_ERROR("send result to client failed, We will exit thread now!");
        ret = QV_ERR_NET;
    } else if (_recv_req_from_client(info) != 0) {
        QV_LOG_ERROR("_recv_req_from_client failed!");
        ret = QV_ERR_RECV;
    } else {
        ret = file_parse_process(info);
        if (ret != 0) QV_LOG_DEBUG("parser json error");
    }
    QV_SockClose(info->client_fd);
    info->client_fd = -1;
    free_texts(info);
    return ret;
}

qvhttp_request *_qv_open_prcs_task(client_info *info) {
    if (info == nullptr) return nullptr;
    if (info->timeout == 0) info->timeout = QV_DEFAULT_TIMEOUT_MS;
    if (file_process(info) != 0) {
        QV_LOG_ERROR("para is error,c->cmd = %d", info->cmd);
        free_texts(info);
        return nullptr;
    }
    char url[1024];
    form_url(info, url);
    qvhttp_request *stream =
        qv_net_open(url, info->retstr, info->timeout, &info->recv_buf, info->rClientFileTask);
    if (stream == nullptr) QV_LOG_ERROR("qv net post error %d :%s", info->cmd, url);
    free_texts(info);
    return stream;
}

int _qv_read_prcs_task(qvhttp_request *stream, char *buf, int size) {
    return qv_net_read(stream, buf, size);
}

int _qv_write_prcs_task(qvhttp_request *stream, const char *data, int len) {
    return qv_net_write(stream, data, len);
}

void _qv_close_prcs_task(qvhttp_request *stream) {
    qv_net_close(stream);
}
