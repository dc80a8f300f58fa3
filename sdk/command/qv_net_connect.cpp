#include "command/qv_net_connect.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/client_file_task.h"
#include "base/qv_defaults.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/client_info.h"
#include "codec/file_process.h"
#include "command/qv_net.h"
#include "command/task_process.h"

int _qv_net_connect_proc(client_info *info) {
    if (!info || !info->rClientFileTask) return QV_ERR_ARG;
    if (info->timeout == 0) info->timeout = QV_DEFAULT_TIMEOUT_MS;

    int ret = file_process(info);
    if (ret == 0) {
        char url[1024];
        std::snprintf(url, sizeof url, "http://%s:%d", info->ip, info->port);
        uint64_t reply_len = 0;
        ret = qvNetConnectPost(url, info->retstr, info->timeout, &info->recv_buf, &reply_len,
                               info->rClientFileTask);
        if (ret != 0) {
            QV_LOG_ERROR("qv net post error %d :%s", info->cmd, url);
        } else if (info->recv_buf) {
            QV_LOG_DEBUG("p_client_info->recv_buf = %s",
                         qv_redacted_reply(info->recv_buf, info->token).c_str());
            ret = file_parse_process(info);
            if (ret != 0) QV_LOG_ERROR("parser json error");
        }
    }
    std::free(info->recv_buf);
    info->recv_buf = nullptr;
    std::free(info->retstr);
    info->retstr = nullptr;
    return ret;
}

namespace {

int open_175(const char *addr, int port, int timeout_ms, int *fd) {
    *fd = -1;
    client_info info{};
    info.cmd = 175;
    info.timeout = timeout_ms;
    info.port = port;
    std::snprintf(info.ip, sizeof info.ip, "%s", addr);
    client_file_task *task = client_file_task_new();
    if (!task) return QV_ERR_ARG;
    task->fd = -1;
    task->keep_alive = 1;
    task->timeout = info.timeout;
    info.rClientFileTask = task;
    const int ret = _qv_net_connect_proc(&info);
    *fd = task->fd;
    client_file_task_free(task);
    return ret;
}

int close_175(int *fd, int timeout_ms) {
    client_info info{};
    info.cmd = 175;
    info.timeout = timeout_ms;
    client_file_task *task = client_file_task_new();
    if (!task) return QV_ERR_ARG;  // the pool closes the socket
    task->fd = *fd;
    task->held_ret = 0;  // only healthy connections are closed with an exchange
    task->keep_alive = 0;
    task->timeout = timeout_ms;
    info.rClientFileTask = task;
    const int ret = _qv_net_connect_proc(&info);
    *fd = task->fd;
    client_file_task_free(task);
    return ret;
}

}  // namespace

const qv_pool_conn_ops qv_net_connect_ops = {open_175, close_175};

void qv_net_connect_install(void) {
    qv_connect_pool_set_ops(&qv_net_connect_ops);
}
