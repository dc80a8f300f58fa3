#include "runtime/ppc_vfile.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/qv_log.h"
#include "codec/file_parse_attr.h"
#include "command/file_stream_calls.h"

namespace {

// size * count within one stream call's int.
int request_size(size_t size, size_t count) {
    size_t n = 0;
    if (__builtin_mul_overflow(size, count, &n) || n > INT_MAX) return INT_MAX;
    return static_cast<int>(n);
}

}  // namespace

int ppc_stat_v(path_info *path, struct stat *out, int64_t token) {
    if (path == nullptr || out == nullptr) return -1;
    file_stat st{};
    const int ret = QV_FileStat(path, &st, token);
    file_stat_release(&st);
    if (ret != 0) {
        QV_LOG_ERROR("stat %s error", path->path ? path->path : "");
        return -1;
    }
    out->st_dev = static_cast<dev_t>(st.st_dev);
    out->st_ino = static_cast<ino_t>(st.st_ino);
    out->st_mode = st.st_mode;
    out->st_nlink = st.st_nlink;
    out->st_uid = static_cast<uid_t>(st.st_uid);
    out->st_gid = static_cast<gid_t>(st.st_gid);
    out->st_rdev = static_cast<dev_t>(st.st_rdev);
    out->st_size = st.st_size;
    out->st_atim.tv_sec = st.st_atim.tv_sec;
    out->st_mtim.tv_sec = st.st_mtim.tv_sec;
    out->st_ctim.tv_sec = st.st_ctim.tv_sec;
    out->st_blksize = st.st_blksize;
    out->st_blocks = static_cast<blkcnt_t>(st.st_blocks);
    return 0;
}

ppc_vfile *ppc_fopen_v(path_info *path, const char *mode, int64_t token) {
    if (path == nullptr || path->path == nullptr || mode == nullptr) return nullptr;
    if (std::strlen(mode) >= sizeof(ppc_vfile::mode)) {
        QV_LOG_ERROR("create net source error:%d", EINVAL);
        return nullptr;
    }
    auto *fp = static_cast<ppc_vfile *>(std::calloc(1, sizeof(ppc_vfile)));
    assert(fp != nullptr && "fp != NULL");
    if (fp == nullptr) std::abort();
    QV_LOG_MSG("srcObj->path = %s", path->path);
    fp->path = strdup(path->path);
    assert(fp->path != nullptr && "fp->path != NULL");
    if (fp->path == nullptr) std::abort();
    fp->bucket_id = path->bucketId;
    fp->thumbnail_type = path->thumbnailType;
    QV_LOG_MSG("mode = %s", mode);
    std::snprintf(fp->mode, sizeof fp->mode, "%s", mode);
    fp->stream = QV_FileOpen(path, 0, fp->mode, token);
    if (fp->stream == nullptr) {
        QV_LOG_ERROR("create net source error:%d", errno);
        std::free(fp->path);
        std::free(fp);
        return nullptr;
    }
    return fp;
}

int ppc_fread_v(void *buf, size_t size, size_t count, ppc_vfile *fp) {
    if (fp == nullptr || buf == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (fp->stream == nullptr) return -1;
    return QV_FileRead(fp->stream, static_cast<char *>(buf), request_size(size, count));
}

int ppc_fwrite_v(const void *buf, size_t size, size_t count, ppc_vfile *fp) {
    if (fp == nullptr || buf == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (fp->stream == nullptr) return -1;
    return QV_FileWrite(fp->stream, static_cast<const char *>(buf), request_size(size, count));
}

int64_t ppc_fseek_v(ppc_vfile *fp, int64_t offset, int origin, int64_t token) {
    if (fp == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    // Every reposition is a new open at an offset from the start: another origin would silently read the
    // wrong bytes.
    if (origin != SEEK_SET || offset < 0) {
        QV_LOG_ERROR("unsupported seek (origin %d, offset %lld)", origin, static_cast<long long>(offset));
        return -1;
    }
    if (fp->stream != nullptr) QV_FileClose(fp->stream);
    fp->stream = nullptr;
    path_info p{fp->path, fp->bucket_id, fp->thumbnail_type};
    fp->stream = QV_FileOpen(&p, offset, fp->mode, token);
    if (fp->stream == nullptr) {
        QV_LOG_ERROR("fopen error:%d", errno);
        return -1;
    }
    return offset;
}

int ppc_fclose_v(ppc_vfile *fp) {
    if (fp == nullptr) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (fp->stream != nullptr) QV_FileClose(fp->stream);
    std::free(fp->path);
    std::free(fp);
    return 0;
}
