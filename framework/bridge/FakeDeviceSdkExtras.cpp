// The scripted SDK's hidden space, share links and recycle bin: records built as the SDK's parsers build
// them (the share ring filled at its front), freed with the SDK's own functions, and recycle progress
// reported on the calling thread.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bridge/FakeDeviceSdk.h"

namespace {

std::string num(int64_t v) {
    return std::to_string(v);
}

std::string text(const char *t) {
    return t != nullptr ? std::string(t) : std::string("<null>");
}

char *dup(const std::optional<std::string> &s) {
    if (!s) return nullptr;
    char *p = static_cast<char *>(std::malloc(s->size() + 1));
    std::memcpy(p, s->c_str(), s->size() + 1);
    return p;
}

template <size_t N>
void put(char (&field)[N], const std::string &bytes) {
    std::memset(field, 0, N);
    std::memcpy(field, bytes.data(), std::min(N - 1, bytes.size()));
}

share_info *shareRecord(const FakeDeviceSdk::Share &s) {
    auto *r = static_cast<share_info *>(std::calloc(1, sizeof(share_info)));
    r->shareId = s.id;
    put(r->shareUrl, s.url);
    put(r->sharePw, s.password);
    r->shareExpect = s.expect;
    r->shareCreateTime = s.createTime;
    r->shareHasPw = s.hasPw;
    r->shareStatus = s.status;
    put(r->shareName, s.name);
    r->shareFileCount = s.fileCount;
    return r;
}

}  // namespace

void FakeDeviceSdk::editExtras(const std::function<void(ExtrasOutputs &)> &edit) {
    std::lock_guard<std::mutex> l(m_mu);
    edit(m_extras);
}

std::vector<FakeDeviceSdk::KeyList> FakeDeviceSdk::keyLists() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_keyLists;
}

int FakeDeviceSdk::liveExtras() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_liveExtras;
}

// ---- hidden space ----

int FakeDeviceSdk::ppc_HideSpaceIsEnable(uint32_t *flag, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_HideSpaceIsEnable", {num(token)});
    if (r == 0) *flag = m_extras.hideEnabled;
    return r;
}

int FakeDeviceSdk::ppc_HideSpaceEnable(int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_HideSpaceEnable", {num(token)});
}

int FakeDeviceSdk::ppc_HideSpacePwdIsSet(uint32_t *flag, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_HideSpacePwdIsSet", {num(token)});
    if (r == 0) *flag = m_extras.pwdSet;
    return r;
}

int FakeDeviceSdk::ppc_HideSpacePwdSet(const char *pwd, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_HideSpacePwdSet", {text(pwd), num(token)});
}

int FakeDeviceSdk::ppc_RouterSmsVerifyCode(int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_RouterSmsVerifyCode", {num(token)});
}

int FakeDeviceSdk::ppc_HideSpacePwdReset(const char *verifyCode, const char *pwd, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_HideSpacePwdReset", {text(verifyCode), text(pwd), num(token)});
}

int FakeDeviceSdk::ppc_HideSpaceLogin(const char *pwd, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_HideSpaceLogin", {text(pwd), num(token)});
}

int FakeDeviceSdk::ppc_HideSpaceLogout(int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_HideSpaceLogout", {num(token)});
}

int FakeDeviceSdk::ppc_GetHideSpaceInfo(int64_t token, hide_space_info **info) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_GetHideSpaceInfo", {num(token)});
    if (r == 0 && m_extras.hideInfoRecord) {
        *info = static_cast<hide_space_info *>(std::calloc(1, sizeof(hide_space_info)));
        put((*info)->nick_name, m_extras.hideNickName);
        (*info)->bucket_id = m_extras.hideBucketId;
    }
    return r;
}

int FakeDeviceSdk::ppc_hideSpaceFileGetList(path_info *folder, int32_t offset, int32_t length,
                                            int32_t sortType, file_list_info **out, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_hideSpaceFileGetList", {text(folder != nullptr ? folder->path : nullptr),
                                                      num(folder != nullptr ? folder->bucketId : 0),
                                                      num(offset), num(length), num(sortType), num(token)});
    if (r == 0 || m_extras.hidePageOnFailure) *out = buildList(m_extras.hidePage, folder->bucketId);
    return r;
}

// ---- share links ----

int FakeDeviceSdk::ppc_createShare(share_file_item **fileList, int32_t fileNum, int32_t hasPw, int32_t expect,
                                   share_info **out, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    // The items up to the empty slot, then the count, flag, validity and token.
    std::string items;
    int32_t slots = 0;
    for (share_file_item **p = fileList; p != nullptr && *p != nullptr; ++p, ++slots)
        items += (items.empty() ? "" : ",") + text((*p)->path) + "@" + num((*p)->bucketId);
    const int r =
        record("ppc_createShare", {items, num(slots), num(fileNum), num(hasPw), num(expect), num(token)});
    if (r == 0) *out = shareRecord(m_extras.created);
    return r;
}

int FakeDeviceSdk::ppc_getShareList(int32_t offset, int32_t len, share_list **out, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_getShareList", {num(offset), num(len), num(token)});
    if (r != 0) return r;
    auto *head = static_cast<share_list *>(std::calloc(1, sizeof(share_list)));
    head->link.next = head->link.prev = &head->link;
    // As the SDK's parser: each share goes in front of the ones read before it.
    for (const Share &s : m_extras.shares) {
        share_info *rec = shareRecord(s);
        rec->link.next = head->link.next;
        rec->link.prev = &head->link;
        head->link.next->prev = &rec->link;
        head->link.next = &rec->link;
    }
    head->count = head->total = static_cast<int64_t>(m_extras.shares.size());
    *out = head;
    ++m_liveExtras;
    return 0;
}

void FakeDeviceSdk::share_list_free(share_list *list) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (list != nullptr) --m_liveExtras;
    }
    ::share_list_free(list);
}

int FakeDeviceSdk::ppc_cancelShare(int32_t shareId, const char *url, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_cancelShare", {num(shareId), text(url), num(token)});
}

// ---- recycle bin ----

int FakeDeviceSdk::ppc_RecycleGetInfo(resyscle_info **out, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_RecycleGetInfo", {num(token)});
    if (r != 0) return r;
    auto *info = static_cast<resyscle_info *>(std::calloc(1, sizeof(resyscle_info)));
    const size_t n = m_extras.buckets.size();
    info->spaceDnode = static_cast<resyscle_space **>(std::calloc(n + 1, sizeof(resyscle_space *)));
    for (size_t i = 0; i < n; ++i) {
        info->spaceDnode[i] = static_cast<resyscle_space *>(std::calloc(1, sizeof(resyscle_space)));
        info->spaceDnode[i]->bucket_id = m_extras.buckets[i].first;
        info->spaceDnode[i]->type = m_extras.buckets[i].second;
    }
    info->count = static_cast<int32_t>(n);
    info->survive_time = m_extras.survive;
    *out = info;
    ++m_liveExtras;
    return 0;
}

void FakeDeviceSdk::ppc_free_resyscle_info(resyscle_info *info) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (info != nullptr) --m_liveExtras;
    }
    ::ppc_free_resyscle_info(info);
}

int FakeDeviceSdk::ppc_RecycleSetInfo(const resyscle_info *info, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_RecycleSetInfo", {num(info->survive_time), num(info->count),
                                         info->spaceDnode == nullptr ? "no list" : "list", num(token)});
}

int FakeDeviceSdk::ppc_RecycleGetList(int32_t offset, int32_t length, resyscle_list_info **out,
                                      int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_RecycleGetList", {num(offset), num(length), num(token)});
    if (r != 0) return r;
    auto *page = static_cast<resyscle_list_info *>(std::calloc(1, sizeof(resyscle_list_info)));
    const size_t n = m_extras.recycle.size();
    page->rDnode = static_cast<resyscle_dnode **>(std::calloc(n + 1, sizeof(resyscle_dnode *)));
    for (size_t i = 0; i < n; ++i) {
        const RecycleItem &it = m_extras.recycle[i];
        auto *node = static_cast<resyscle_dnode *>(std::calloc(1, sizeof(resyscle_dnode)));
        node->key = it.key;
        node->size = it.size;
        node->date = it.date;
        node->isFolder = it.isFolder;
        node->name = dup(it.name);
        node->path = dup(it.path);
        node->delete_time = it.deleteTime;
        node->remain_time = it.remainTime;
        node->bucketId = it.bucketId;
        page->rDnode[i] = node;
    }
    page->start = m_extras.recycleStart;
    page->count = m_extras.recycleCount >= 0 ? m_extras.recycleCount : static_cast<int32_t>(n);
    page->totalCount = m_extras.recycleTotal >= 0 ? m_extras.recycleTotal : static_cast<int32_t>(n);
    *out = page;
    ++m_liveExtras;
    return 0;
}

void FakeDeviceSdk::ppc_free_resyscle_list(resyscle_list_info *info) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (info != nullptr) --m_liveExtras;
    }
    ::ppc_free_resyscle_list(info);
}

int FakeDeviceSdk::recycleRun(const std::string &fn, std::vector<std::string> args, int32_t seq,
                              file_task_cb cb) {
    int result = 0;
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> l(m_mu);
        result = record(fn, std::move(args));
        reports = m_extras.recycleReports;
    }
    client_file_task *task = client_file_task_new();
    task->id.store(seq);
    for (const Report &rep : reports) {
        task->status.store(rep.status);
        task->cur_progress.store(rep.done);
        task->total_progress.store(rep.total);
        if (cb != nullptr) cb(task);
    }
    client_file_task_free(task);
    return result;
}

namespace {

FakeDeviceSdk::KeyList readKeys(const resyscle_list_info *list) {
    FakeDeviceSdk::KeyList k;
    if (list == nullptr) return k;
    k.header[0] = list->start;
    k.header[1] = list->count;
    k.header[2] = list->totalCount;
    static const resyscle_dnode kZero{};
    for (resyscle_dnode **n = list->rDnode; n != nullptr && *n != nullptr; ++n) {
        k.keys.push_back((*n)->key);
        // Everything after the key must be zero: the device reads only the key.
        const auto *bytes = reinterpret_cast<const unsigned char *>(*n);
        const auto *zero = reinterpret_cast<const unsigned char *>(&kZero);
        if (std::memcmp(bytes + sizeof(int32_t), zero + sizeof(int32_t),
                        sizeof(resyscle_dnode) - sizeof(int32_t)) != 0)
            k.zeroed = false;
    }
    return k;
}

std::string keysText(const FakeDeviceSdk::KeyList &k) {
    std::string out;
    for (int32_t key : k.keys) out += (out.empty() ? "" : ",") + std::to_string(key);
    return out;
}

}  // namespace

int FakeDeviceSdk::ppc_RecycleRestoreFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                              int64_t token) {
    const KeyList k = readKeys(list);
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_keyLists.push_back(k);
    }
    return recycleRun("ppc_RecycleRestoreFileList", {num(seq), keysText(k), num(token)}, seq, cb);
}

int FakeDeviceSdk::ppc_RecycleDeleteFileList(int32_t seq, resyscle_list_info *list, file_task_cb cb,
                                             int64_t token) {
    const KeyList k = readKeys(list);
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_keyLists.push_back(k);
    }
    return recycleRun("ppc_RecycleDeleteFileList", {num(seq), keysText(k), num(token)}, seq, cb);
}

int FakeDeviceSdk::ppc_RecycleEmpty(int32_t seq, file_task_cb cb, int64_t token) {
    return recycleRun("ppc_RecycleEmpty", {num(seq), num(token)}, seq, cb);
}
