#include "command/download_id.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "command/url_escape.h"
#include "link/file_util.h"
#include "link/md5.h"

int download_task_id(const char *des_path, int64_t size, int64_t mtime, char out[QV_TASK_ID_LEN + 1]) {
    if (des_path == nullptr || out == nullptr) return QV_ERR_ARG;
    std::string text = des_path;
    text += std::to_string(static_cast<long long>(size));
    text += std::to_string(static_cast<long>(mtime));
    const std::string escaped = qv_url_escape(text);

    md5_ctx ctx;
    md5_init(&ctx);
    // md5_update takes 32-bit lengths: feed long texts in pieces.
    for (size_t off = 0; off < escaped.size();) {
        size_t n = std::min<size_t>(escaped.size() - off, 1u << 30);
        md5_update(&ctx, escaped.data() + off, static_cast<uint32_t>(n));
        off += n;
    }
    unsigned char digest[16];
    md5_final(digest, &ctx);
    static const char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[QV_TASK_ID_LEN] = '\0';
    return 0;
}

int check_download_id_file(const char *id_path, const char *id) {
    if (id_path == nullptr || id == nullptr) return QV_ERR_LOCAL_FILE2;
    const size_t id_len = std::strlen(id);
    int fd = ::open(id_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t n = full_write(fd, id, id_len);
        int err = errno;
        ::close(fd);
        if (n != static_cast<ssize_t>(id_len)) {
            QV_LOG_ERROR("fwrite error:%d", err);
            ::unlink(id_path);  // a partial id would refuse every later attempt
            return QV_ERR_LOCAL_FILE2;
        }
        return 0;
    }
    if (errno != EEXIST) {
        QV_LOG_ERROR("fopen error:%d", errno);
        return QV_ERR_LOCAL_FILE2;
    }
    fd = ::open(id_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        QV_LOG_ERROR("fopen error:%d", errno);
        return QV_ERR_LOCAL_FILE2;
    }
    // One byte more than the longest id we accept, so a longer file is seen as different, and a terminator.
    char buffer[66] = {};
    ssize_t n = full_read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0) {
        QV_LOG_ERROR("fread error:%d", errno);
        return QV_ERR_LOCAL_FILE2;
    }
    if (static_cast<size_t>(n) != id_len || std::memcmp(buffer, id, id_len) != 0) {
        QV_LOG_MSG("uuid = %s,buffer = %s,current task is invalid", buffer, id);
        return QV_ERR_OTHER_PARTIAL;
    }
    return 0;
}
