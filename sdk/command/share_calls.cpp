// Share links (187-189) and the account side of a share (204-206).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/qv_strlcpy.h"
#include "command/device_calls.h"
#include "command/ppc_qv_client.h"
#include "command/task_process.h"

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;
template <typename T>
HeapPtr<T> zalloc_block() {
    return HeapPtr<T>(static_cast<T *>(std::calloc(1, sizeof(T))));
}

bool fits_int32(int64_t v) {
    return v >= INT32_MIN && v <= INT32_MAX;
}

// Runs the exchange; on 0 hands the block's result out, else frees it with `drop`.
template <typename Block, typename Result, typename Drop>
int run_share(client_info &ci, Block *block, Result **out, Drop drop) {
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) {
        QV_LOG_ERROR("share command %d failed, ret=%d", ci.cmd, ret);
        if (block->result != nullptr) drop(block->result);
        block->result = nullptr;
        return ret;
    }
    if (block->result == nullptr) return QV_ERR_BAD_DATA;
    *out = block->result;
    return ret;
}

}  // namespace

int QV_createShare(share_file_item **fileList, int32_t fileNum, int32_t hasPw, int32_t expect,
                   share_info **out, int64_t token) {
    if (out == nullptr || fileNum < 0 || (fileNum > 0 && fileList == nullptr)) return QV_ERR_ARG;
    auto block = zalloc_block<create_share_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->fileList = fileList;
    block->fileNum = fileNum;
    block->hasPw = hasPw;
    block->expect = expect;
    client_info ci;
    qv_frame_init(&ci, 187, token, QV_ADDR_CURRENT);
    ci.req.pCreateShare = block.get();
    return run_share(ci, block.get(), out, [](share_info *s) { std::free(s); });
}

int QV_getShareList(int32_t offset, int32_t len, share_list **out, int64_t token) {
    if (out == nullptr) return QV_ERR_ARG;
    auto block = zalloc_block<get_share_list_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->offset = offset;
    block->len = len;
    client_info ci;
    qv_frame_init(&ci, 188, token, QV_ADDR_CURRENT);
    ci.req.pGetShareList = block.get();
    return run_share(ci, block.get(), out, share_list_free);
}

int QV_cancelShare(int64_t shareId, const char *url, int64_t token) {
    if (url == nullptr) return QV_ERR_ARG;
    if (!fits_int32(shareId)) {
        // The device takes 32-bit ids: a cut id could name another share.
        QV_LOG_ERROR("share id %lld does not fit 32 bits", static_cast<long long>(shareId));
        return QV_ERR_ARG;
    }
    auto block = zalloc_block<cancel_share_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->shareId = shareId;
    qv_strlcpy(block->url, url);
    client_info ci;
    qv_frame_init(&ci, 189, token, QV_ADDR_CURRENT);
    ci.req.pCancelShare = block.get();
    const int ret = _qv_net_prcs_task(&ci);
    if (ret != QV_OK) QV_LOG_ERROR("cancel share failed, ret=%d", ret);
    return ret;
}

int QV_AccountGetShareFileList(int32_t shareId, const char *fileDir, int32_t offset, int32_t len,
                               share_file_list **out, int64_t token) {
    if (fileDir == nullptr || out == nullptr) {
        QV_LOG_MSG("### para is null, fileDir: %p, pList: %p", static_cast<const void *>(fileDir),
                   static_cast<void *>(out));
        return QV_ERR_ARG;
    }
    auto block = zalloc_block<get_share_file_list_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->shareId = shareId;
    qv_strlcpy(block->fileDir, fileDir);
    block->offset = offset;
    block->len = len;
    client_info ci;
    qv_frame_init(&ci, 204, token, QV_ADDR_CURRENT);
    ci.req.pGetShareFileList = block.get();
    return run_share(ci, block.get(), out, share_file_list_free);
}

int QV_AccountGetShareFileData(int32_t shareId, const char *path, int32_t type, int64_t start, int64_t end,
                               const char *uploadUrl, share_file_info **out, int64_t token) {
    if (path == nullptr || uploadUrl == nullptr || out == nullptr) {
        QV_LOG_MSG("### para is null, fileDir: %p, uploadUrl: %p, pList: %p", static_cast<const void *>(path),
                   static_cast<const void *>(uploadUrl), static_cast<void *>(out));
        return QV_ERR_ARG;
    }
    auto block = zalloc_block<get_share_file_data_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->shareId = shareId;
    qv_strlcpy(block->path, path);
    block->type = type;
    block->start = start;
    block->end = end;
    qv_strlcpy(block->uploadUrl, uploadUrl);
    client_info ci;
    qv_frame_init(&ci, 205, token, QV_ADDR_CURRENT);
    ci.req.pGetShareFileData = block.get();
    return run_share(ci, block.get(), out, [](share_file_info *f) { std::free(f); });
}

int QV_AccountGetShareFileAttr(int32_t shareId, const char *path, int32_t type, int64_t start, int64_t end,
                               share_file_info **out, int64_t token) {
    if (path == nullptr || out == nullptr) {
        QV_LOG_MSG("### para is null, fileDir: %p, pList: %p", static_cast<const void *>(path),
                   static_cast<void *>(out));
        return QV_ERR_ARG;
    }
    auto block = zalloc_block<get_share_file_attr_req>();
    if (!block) return QV_ERR_SOCK_ALLOC;
    block->shareId = shareId;
    qv_strlcpy(block->path, path);
    block->type = type;
    block->start = start;
    block->end = end;
    client_info ci;
    qv_frame_init(&ci, 206, token, QV_ADDR_CURRENT);
    ci.req.pGetShareFileAttr = block.get();
    return run_share(ci, block.get(), out, [](share_file_info *f) { std::free(f); });
}
