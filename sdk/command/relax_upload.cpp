#include "command/relax_upload.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/md5.h"
#include "link/qv_owned.h"

namespace {
constexpr size_t kBlock = 65536;

bool cancelled(const client_file_task *task) {
    return task != nullptr && task->cancel_status.load() != 0;
}

// Progress at most once per wall-clock second; the first block always reports.
struct Progress {
    client_file_task *task;
    time_t next = 0;
    void block(int64_t sum) {
        if (task == nullptr) return;
        time_t now = std::time(nullptr);
        if (now < next) return;
        task->cur_progress = sum;
        if (task->chunk_cb != nullptr) task->chunk_cb(task);
        next = now + 1;
    }
};

void store_value(md5_ctx *ctx, int64_t size, char *value) {
    unsigned char digest[16];
    md5_final(digest, ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    QV_LOG_DEBUG("sumBuf: %s", hex);
    std::snprintf(value, QV_AUTH_VALUE_SIZE, "%s_%lld", hex, static_cast<long long>(size));
}
}  // namespace

int HandleFileGetAuthValueReq(const char *path, char *value, client_file_task *task) {
    if (path == nullptr || value == nullptr) return QV_ERR_ARG;
    qv::file_ptr fp(std::fopen(path, "rb"));
    if (!fp) {
        QV_LOG_DEBUG("fopen %s fail", path);
        return QV_ERR_FAILED;
    }
    if (fseeko(fp.get(), 0, SEEK_END) != 0) return QV_ERR_FAILED;
    const int64_t size = ftello(fp.get());
    if (size < 0 || fseeko(fp.get(), 0, SEEK_SET) != 0) return QV_ERR_FAILED;
    if (task != nullptr) task->total_progress = size;

    md5_ctx ctx;
    md5_init(&ctx);
    std::vector<unsigned char> buf(kBlock);
    Progress progress{task};
    int64_t sum = 0;
    while (sum < size) {
        if (cancelled(task)) return QV_ERR_CANCELLED;
        size_t want = static_cast<size_t>(std::min<int64_t>(kBlock, size - sum));
        size_t n = std::fread(buf.data(), 1, want, fp.get());
        if (n == 0) {
            QV_LOG_ERROR("fread fail");
            return QV_ERR_FAILED;
        }
        md5_update(&ctx, buf.data(), static_cast<uint32_t>(n));
        sum += static_cast<int64_t>(n);
        progress.block(sum);
    }
    store_value(&ctx, size, value);
    return 0;
}

int HandleFileGetStreamAuthValueReq(const stream_file_info *stream, char *value, client_file_task *task) {
    if (stream == nullptr || value == nullptr || stream->size < 0) return QV_ERR_ARG;
    const int64_t size = stream->size;
    if (task != nullptr) task->total_progress = size;
    if (stream->stream_read == nullptr) QV_LOG_DEBUG("stream_read is NULL");

    md5_ctx ctx;
    md5_init(&ctx);
    std::vector<char> buf(kBlock);
    Progress progress{task};
    int64_t sum = 0;
    const int32_t id = task != nullptr ? static_cast<int32_t>(task->id.load()) : stream->id;
    while (sum < size) {
        if (cancelled(task)) return QV_ERR_CANCELLED;
        int want = static_cast<int>(std::min<int64_t>(kBlock, size - sum));
        int n = stream->stream_read != nullptr ? stream->stream_read(id, buf.data(), want, task) : -1;
        if (n <= 0 || n > want) {
            QV_LOG_ERROR("fread fail");
            return QV_ERR_FAILED;
        }
        md5_update(&ctx, buf.data(), static_cast<uint32_t>(n));
        sum += n;
        progress.block(sum);
    }
    if (task != nullptr) {
        task->cur_progress = sum;
        if (task->chunk_cb != nullptr) task->chunk_cb(task);
    }
    store_value(&ctx, size, value);
    return 0;
}

int QV_GetRelaxUploadAuthValue(const char *path, const char *kind, char *value, client_file_task *task) {
    (void)kind;
    int ret = HandleFileGetAuthValueReq(path, value, task);
    if (ret == 0) {
        QV_LOG_DEBUG("get file auth value finish! ok.");
    } else {
        QV_LOG_ERROR("get file auth value error! errno=%#x", ret);
        QV_LOG_ERROR("HandleFileGetAuthAalueReq fail!");
    }
    return ret;
}

int QV_GetStreamRelaxUploadAuthValue(const stream_file_info *stream, const char *kind, char *value,
                                     client_file_task *task) {
    (void)kind;
    int ret = HandleFileGetStreamAuthValueReq(stream, value, task);
    if (ret == 0) {
        QV_LOG_DEBUG("get stream auth value finish! ok.");
    } else {
        QV_LOG_ERROR("get stream auth value error! errno=%#x", ret);
        QV_LOG_ERROR("HandleFileGetAuthAalueReq fail!");
    }
    return ret;
}
