#include "command/qv_net_connect.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "codec/client_info.h"
#include "codec/file_process.h"
#include "base/client_file_task.h"
#include "command/qv_net.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"


int _qv_net_connect_proc(client_info *info) {
    if (!info || !info->rClientFileTask) return QV_ERR_ARG;
    if (info->timeout == 0) info->timeout = 20000;

    int ret = file_process(info);
    if (ret == 0) {
        char url[1024];
        std::snprintf(url, sizeof url, "http://%s:%d", info->ip, info->port);
        uint64_t reply_len = 0;
        ret = qvNetConnectPost(url, info->retstr, info->timeout, &info->recv_buf, &reply_len, info->rClientFileTask);
        if (ret != 0) {
            QV_LOG_ERROR("qv net post error %d :%s", info->cmd, url);
        } else if (info->recv_buf) {
            QV_LOG_DEBUG("p_client_info->recv_buf = %s", info->recv_buf);
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
