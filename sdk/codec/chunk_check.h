// The check every streamed-reply parser makes first: a chunk is one complete reply envelope, and one whose
// header answers another command than the task's request is refused like such a whole reply, instead of
// being taken as this request's progress or results.
#pragma once

#include <json-c/json.h>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/reply_json.h"

// 0 when the chunk may be parsed: the task names no command, the chunk has no "header" (left to the parser),
// or its "cmd" is the task's. QV_ERR_CMD_NOT_FOUND otherwise (a missing "cmd" reads as 0).
inline int chunk_answers_other_cmd(json_object *root, const client_file_task *task) {
    if (task == nullptr || task->cmd == 0) return 0;
    json_object *header = qv_reply::member(root, "header");
    if (header == nullptr) return 0;
    json_object *c = qv_reply::member(header, "cmd");
    const int32_t cmd = c != nullptr ? json_object_get_int(c) : 0;
    if (cmd == task->cmd) return 0;
    QV_LOG_ERROR("reply cmd %d does not answer request cmd %d", cmd, task->cmd);
    return QV_ERR_CMD_NOT_FOUND;
}
