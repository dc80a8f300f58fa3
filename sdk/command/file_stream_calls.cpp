#include "command/file_stream_calls.h"

#include <cstring>

#include "base/qv_log.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

int QV_FileStat(path_info *path, file_stat *st, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 105, token, QV_ADDR_CURRENT_ONLY);
    ci.srcPathInfo = path;
    ci.attrFlag = 1;
    ci.st = st;
    return _qv_net_prcs_task(&ci);
}

qvhttp_request *QV_FileOpen(path_info *path, int64_t offset, const char *mode, int64_t token) {
    const bool read_mode = mode != nullptr && (std::strcmp(mode, "rb") == 0 || std::strcmp(mode, "r") == 0);
    client_info ci;
    qv_frame_init(&ci, read_mode ? 106 : 0, token, QV_ADDR_CURRENT_ONLY);
    ci.srcPathInfo = path;
    ci.offset = offset;
    ci.length = 0;
    return _qv_open_prcs_task(&ci);
}

int QV_FileRead(qvhttp_request *stream, char *buf, int size) {
    return _qv_read_prcs_task(stream, buf, size);
}

int QV_FileWrite(qvhttp_request *stream, const char *data, int len) {
    return _qv_write_prcs_task(stream, data, len);
}

void QV_FileClose(qvhttp_request *stream) {
    _qv_close_prcs_task(stream);
}

int QV_FileRelaxUpload(int64_t file_length, uint32_t modify_time, const char *authorization,
                       const char *auth_value, path_info *target, int32_t *status, int64_t token) {
    client_info ci;
    qv_frame_init(&ci, 147, token, QV_ADDR_CURRENT);
    ci.file_length = file_length;
    ci.modifyTime = modify_time;
    ci.authorization = authorization;
    ci.authValue = auth_value;
    ci.desPathInfo = target;
    QV_LOG_DEBUG("p_client_info.modifyTime = %u, p_client_info.file_length=%lld", ci.modifyTime,
                 static_cast<long long>(ci.file_length));
    const int ret = _qv_net_prcs_task(&ci);
    if (ret == 0 && status != nullptr) *status = ci.status;
    return ret;
}
