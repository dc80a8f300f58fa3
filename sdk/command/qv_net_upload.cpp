#include "command/qv_net_upload.h"

#include <memory>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "command/qv_net.h"
#include "command/qvhttp_upload.h"
#include "link/qv_owned.h"
#include "link/qvhttp.h"

int qvNetUpload(const char *url, const char *request, int32_t timeout_ms, char **reply,
                client_file_task *task) {
    if (!url || !request || !task || !reply) return QV_ERR_NOT_BUILT;
    qv::request_ptr r(qvhttp_request_new());
    if (!r || qvhttp_set_uri(r.get(), url) != 0 || qvhttp_set_type(r.get(), QVHTTP_POST) != 0)
        return QV_ERR_NOT_BUILT;
    qvhttp_set_file_task(r.get(), task);
    const int64_t start = task->cur_progress.load();
    const int64_t end = task->total_progress.load();
    const std::string range = std::to_string(start) + "-" + std::to_string(end);
    // qvhttp_set_header gives 1 when the header is set.
    if (qvhttp_set_header(r.get(), "Content-Type", "application/octet-stream") == 0 ||
        qvhttp_set_header(r.get(), "Content-Length", std::to_string(end - start).c_str()) == 0 ||
        qvhttp_set_header(r.get(), "Range", range.c_str()) == 0 ||
        qvhttp_set_header(r.get(), "Location", request) == 0 ||
        qvhttp_set_header(r.get(), "Timeout", std::to_string(timeout_ms).c_str()) == 0 ||
        qvhttp_prepare(r.get()) != 0)
        return QV_ERR_NOT_BUILT;
    int rc = qvhttp_upload(r.get());
    if (rc != 0) return rc;
    if (qvhttp_get_header(r.get(), "Transfer-Encoding")) return 0;  // chunks went to the task's parser
    const char *body = qvhttp_get_body(r.get());
    const int32_t len = qvhttp_get_body_len(r.get());
    if (!body || len <= 0) return 0;
    return reply_body_text(r.get(), body, len, reply, nullptr) == 0 ? 0 : QV_ERR_LOCAL_FILE;
}
