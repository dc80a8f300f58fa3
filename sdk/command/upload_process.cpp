#include "command/upload_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_defaults.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "codec/file_process.h"
#include "command/qv_net_upload.h"
#include "command/task_process.h"
#include "link/qv_owned.h"

namespace {

struct Range {
    int32_t index;
    int64_t start;
    int64_t end;
};

// One range through the builder, the post and the reply parser.
int send_one(client_info *info, client_file_task *task, const char *url, const Range &r,
             const char *entry_path) {
    info->offset = r.start;
    info->length = r.end;
    QV_LOG_DEBUG("upload range %lld-%lld", static_cast<long long>(r.start), static_cast<long long>(r.end));
    int rc = file_process(info);
    if (rc != 0) {
        QV_LOG_ERROR("file process error,p_client_info->cmd = %d", info->cmd);
        return rc;
    }
    task->cur_progress = r.start;
    task->total_progress = r.end;
    rc = qvNetUpload(url, info->retstr, info->timeout, &info->recv_buf, task);
    std::free(info->retstr);
    info->retstr = nullptr;
    if (rc != 0) {
        QV_LOG_ERROR("qv net post error %d :%s,%d", info->cmd, url, rc);
        return rc;
    }
    if (task->cur_progress.load() < task->total_progress.load() && task->cancel_status.load() != 0)
        return QV_ERR_CANCELLED;
    if (info->recv_buf) {
        QV_LOG_DEBUG("%s", qv_redacted_reply(info->recv_buf, info->token).c_str());
        backup_result_info *res = task->backup_result;
        char *before = res ? res->path : nullptr;
        rc = file_parse_process(info);
        if (rc != 0) QV_LOG_ERROR("parser json error");
        // Each range's reply names where the backup landed: keep the latest, drop earlier ones of this call.
        if (res && before && res->path != before && before != entry_path) std::free(before);
        std::free(info->recv_buf);
        info->recv_buf = nullptr;
    }
    return rc;
}

}  // namespace

int _qv_upload_prcs_task(client_info *info) {
    if (!info) return QV_ERR_ARG;
    info->timeout = QV_DEFAULT_TIMEOUT_MS;

    std::vector<Range> ranges;
    if (info->status == 1) {
        for (const record_dnode *n = info->range_list; n; n = n->next)
            ranges.push_back({n->index, n->start, n->end});
        // The parser prepends: restore the reply's order.
        std::stable_sort(ranges.begin(), ranges.end(),
                         [](const Range &a, const Range &b) { return a.index < b.index; });
        if (ranges.empty()) ranges.push_back({0, 0, 0});
    } else {
        ranges.push_back({0, 0, info->file_length});
    }
    if (info->range_list) destory_record_list(info->range_list);
    info->range_list = nullptr;

    qv::task_ptr own;
    client_file_task *task = info->rClientFileTask;
    if (!task) {
        own.reset(client_file_task_new());
        task = own.get();
        if (!task) return QV_ERR_FAILED;
    }

    int opened = -1;
    const int saved_fd = task->fd;
    if (!task->stream_cb) {
        if (info->file_fd > 0) {
            task->fd = info->file_fd;
        } else {
            opened = info->srcPath ? ::open(info->srcPath, O_RDONLY | O_CLOEXEC) : -1;
            if (opened < 0) {
                QV_LOG_DEBUG("create local file error");
                std::free(info->retstr);
                info->retstr = nullptr;
                return QV_ERR_LOCAL_FILE;
            }
            task->fd = opened;
        }
    }

    const char *entry_path = task->backup_result ? task->backup_result->path : nullptr;
    char url[1024];
    std::snprintf(url, sizeof url, "http://%s:%d", info->ip, info->port);
    int rc = 0;
    for (const Range &r : ranges) {
        if (task->cancel_status.load() != 0) {
            rc = QV_ERR_CANCELLED;
            break;
        }
        rc = send_one(info, task, url, r, entry_path);
        if (rc != 0) break;
    }

    // Even a part of a file, or a failed upload's partial one, changes what the device lists.
    qv_command_cache_changed(info->token, info->cmd);
    if (opened >= 0) ::close(opened);
    if (!task->stream_cb) task->fd = saved_fd;
    std::free(info->recv_buf);
    info->recv_buf = nullptr;
    std::free(info->retstr);
    info->retstr = nullptr;
    return rc;
}
