#include "bridge/FakeDeviceSdk.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
// The runtime's answer of a call that a cancel stopped (its error header is not the framework's to include).
constexpr int kCancelled = 20008;
}  // namespace

FakeDeviceSdk::~FakeDeviceSdk() {
    for (ppc_router_task *ctx : m_contexts) ppc_router_task_free(ctx);
    std::free(m_qrContext);
}

void FakeDeviceSdk::scriptStart(bool createContext, int error) {
    std::lock_guard<std::mutex> l(m_mu);
    m_startContext = createContext;
    m_startError = error;
}

void FakeDeviceSdk::closeListLatch() {
    std::lock_guard<std::mutex> l(m_mu);
    m_latchClosed = true;
    m_passes = 0;
}

void FakeDeviceSdk::releaseListings(int n) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_passes += n;
    }
    m_cv.notify_all();
}

void FakeDeviceSdk::openListLatch() {
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_latchClosed = false;
    }
    m_cv.notify_all();
}

int FakeDeviceSdk::blockedListings() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_blocked;
}

bool FakeDeviceSdk::waitBlocked(int n, int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_blocked >= n; });
}

std::thread::id FakeDeviceSdk::runOnOwnThread(const std::function<void()> &fn) {
    std::thread t(fn);
    const std::thread::id id = t.get_id();
    t.join();
    return id;
}

std::thread::id FakeDeviceSdk::fireDeviceAdd(const qv_dev_detail &detail) {
    ppc_dev_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (!m_startCalls.empty()) cb = m_startCalls.back().onDeviceAdd;
    }
    return runOnOwnThread([cb, detail] {
        if (cb) cb(&detail);
    });
}

std::thread::id FakeDeviceSdk::fireDeviceDel(const qv_dev_detail &detail) {
    ppc_dev_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (!m_startCalls.empty()) cb = m_startCalls.back().onDeviceDel;
    }
    return runOnOwnThread([cb, detail] {
        if (cb) cb(&detail);
    });
}

std::thread::id FakeDeviceSdk::fireUsbStatus(const std::vector<qv_usb_status> &list) {
    ppc_usb_status_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        if (!m_startCalls.empty()) cb = m_startCalls.back().onUsbStatus;
    }
    return runOnOwnThread([cb, list] {
        if (cb) cb(list.empty() ? nullptr : list.data(), static_cast<int>(list.size()));
    });
}

std::vector<FakeDeviceSdk::StartCall> FakeDeviceSdk::startCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_startCalls;
}

std::vector<FakeDeviceSdk::ListCall> FakeDeviceSdk::listCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_listCalls;
}

int FakeDeviceSdk::stopCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_stopCalls;
}

int FakeDeviceSdk::existsCalls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_existsCalls;
}

ppc_router_task *FakeDeviceSdk::ppc_start_Service(const char *cacheDir, ppc_dev_cb onDeviceAdd,
                                                  ppc_dev_cb onDeviceDel, ppc_usb_status_cb onUsbStatus,
                                                  const char *gateway, int *error) {
    std::lock_guard<std::mutex> l(m_mu);
    m_startCalls.push_back(
        {cacheDir ? cacheDir : "", gateway ? gateway : "", onDeviceAdd, onDeviceDel, onUsbStatus});
    if (m_startError != INT_MIN && error != nullptr) *error = m_startError;
    if (!m_startContext) return nullptr;
    ppc_router_task *ctx = ppc_router_task_new();
    m_contexts.push_back(ctx);
    return ctx;
}

int FakeDeviceSdk::ppc_stop_Service(ppc_router_task *context) {
    // As the runtime's stop: every task cancelled, and the calls inside left before the context goes.
    std::unique_lock<std::mutex> l(m_mu);
    if (isLive(context)) ::ppc_cancel_task(context, 1, PPC_TASK_ALL, 0);
    m_cv.notify_all();
    m_cv.wait_for(l, std::chrono::seconds(10), [&] { return m_transfersRunning == 0; });
    ++m_stopCalls;
    if (m_stopResult == 0) {
        auto it = std::find(m_contexts.begin(), m_contexts.end(), context);
        if (it != m_contexts.end()) {
            ppc_router_task_free(*it);
            m_contexts.erase(it);
        }
    }
    return m_stopResult;
}

int FakeDeviceSdk::ppc_FileGetList(path_info target, int32_t start, int32_t count, int32_t sortType,
                                   file_list_page **out, int64_t token) {
    std::unique_lock<std::mutex> l(m_mu);
    m_listCalls.push_back({target.path ? target.path : "", target.bucketId, start, count, sortType, token});
    if (m_latchClosed) {
        ++m_blocked;
        m_cv.notify_all();
        m_cv.wait(l, [&] { return !m_latchClosed || m_passes > 0; });
        if (m_latchClosed) --m_passes;
        --m_blocked;
    }
    if (m_listResult != 0) return m_listResult;
    if (out == nullptr) return -1;
    auto *page = static_cast<file_list_page *>(std::calloc(1, sizeof(file_list_page)));
    if (page == nullptr) return -1;
    const int n = static_cast<int>(m_page.entries.size());
    page->count = m_page.count >= 0 ? m_page.count : n;
    page->totalCount = m_page.totalCount >= 0 ? m_page.totalCount : n;
    // The list grows at its head: add in reverse to keep the page's order.
    for (auto it = m_page.entries.rbegin(); it != m_page.entries.rend(); ++it) {
        const std::string path = "/fake/" + it->name;
        ppc_add_file_to_list(&page->list, it->noName ? nullptr : it->name.c_str(), it->size, it->date,
                             it->isFolder ? 1 : 0, path.c_str(), target.bucketId, 0, nullptr, 0);
    }
    *out = page;
    return 0;
}

int FakeDeviceSdk::ppc_FileIsExist(path_info, int64_t) {
    std::lock_guard<std::mutex> l(m_mu);
    ++m_existsCalls;
    return m_existsResult;
}

// ---- session and device information ----

namespace {

std::string num(int64_t v) {
    return std::to_string(v);
}

std::string text(const char *t) {
    return t != nullptr ? std::string(t) : std::string("<null>");
}

// Copies at most `n` bytes of `bytes`, without adding a terminator beyond the copied bytes.
void copyRaw(char *dst, const std::string &bytes, size_t n) {
    std::memcpy(dst, bytes.data(), std::min(n, bytes.size()));
}

}  // namespace

void FakeDeviceSdk::script(const std::string &fn, int result) {
    std::lock_guard<std::mutex> l(m_mu);
    m_results[fn] = result;
}

void FakeDeviceSdk::editOutputs(const std::function<void(Outputs &)> &edit) {
    std::lock_guard<std::mutex> l(m_mu);
    edit(m_out);
}

std::vector<FakeDeviceSdk::Call> FakeDeviceSdk::calls() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_calls;
}

std::vector<FakeDeviceSdk::Call> FakeDeviceSdk::callsOf(const std::string &fn) const {
    std::lock_guard<std::mutex> l(m_mu);
    std::vector<Call> out;
    for (const Call &c : m_calls)
        if (c.fn == fn) out.push_back(c);
    return out;
}

void FakeDeviceSdk::holdExec(bool hold) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_holdExec = hold;
    }
    m_cv.notify_all();
}

int FakeDeviceSdk::execsHeld() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_execsHeld;
}

bool FakeDeviceSdk::waitExecsHeld(int n, int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_execsHeld >= n; });
}

std::thread::id FakeDeviceSdk::fireUserStatus(const char *message) {
    ppc_user_status_cb cb = nullptr;
    {
        std::lock_guard<std::mutex> l(m_mu);
        cb = m_userStatusCb;
    }
    return runOnOwnThread([cb, message] {
        if (cb) cb("qv_tessera/userStatusChanged/u", message);
    });
}

int FakeDeviceSdk::liveUserLists() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_liveUserLists;
}

ppc_router_task *FakeDeviceSdk::lastContext() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_contexts.empty() ? nullptr : m_contexts.back();
}

int FakeDeviceSdk::record(const std::string &fn, std::vector<std::string> args) {
    m_calls.push_back({fn, std::move(args), std::this_thread::get_id()});
    const auto it = m_results.find(fn);
    return it == m_results.end() ? 0 : it->second;
}

bool FakeDeviceSdk::isLive(ppc_router_task *context) const {
    return context != nullptr && std::find(m_contexts.begin(), m_contexts.end(), context) != m_contexts.end();
}

int FakeDeviceSdk::ppc_set_Gateway(ppc_router_task **context, const char *gateway) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_set_Gateway", {text(gateway)});
    if (context == nullptr || !isLive(*context)) return -1;
    return r;
}

qv_dev_detail **FakeDeviceSdk::ppc_get_dev_detail_list(uint32_t *count) {
    std::lock_guard<std::mutex> l(m_mu);
    record("ppc_get_dev_detail_list", {});
    *count = static_cast<uint32_t>(m_out.devices.size());
    if (m_out.devices.empty()) return nullptr;
    auto **list =
        static_cast<qv_dev_detail **>(std::calloc(m_out.devices.size() + 1, sizeof(qv_dev_detail *)));
    for (size_t i = 0; i < m_out.devices.size(); ++i) {
        list[i] = static_cast<qv_dev_detail *>(std::malloc(sizeof(qv_dev_detail)));
        *list[i] = m_out.devices[i];
    }
    return list;
}

int FakeDeviceSdk::ppc_free_dev_detail_list(qv_dev_detail **list) {
    std::lock_guard<std::mutex> l(m_mu);
    record("ppc_free_dev_detail_list", {list != nullptr ? "list" : "null"});
    if (list == nullptr) return 0;
    for (qv_dev_detail **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
    return 0;
}

exdev_dnode *FakeDeviceSdk::ppc_device_register(const char *name, const char *uuid, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_device_register", {text(name), text(uuid), num(token)});
    static exdev_dnode listed{};  // stands for the runtime's list entry
    return r == 0 && name != nullptr && uuid != nullptr ? &listed : nullptr;
}

int FakeDeviceSdk::ppc_login_by_authcode(const char *authCode, const char *addr, int64_t *token,
                                         ppc_router_task *context) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_login_by_authcode", {text(authCode), text(addr), num(token ? *token : -1)});
    if (authCode == nullptr || addr == nullptr || token == nullptr || !isLive(context)) return -1;
    if (r == 0) *token = m_out.loginToken;
    return r;
}

int FakeDeviceSdk::ppc_logout(int64_t token, ppc_router_task *context) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_logout", {num(token)});
    return isLive(context) ? r : -1;
}

int FakeDeviceSdk::ppc_userStatusChangedListen(const char *userId, ppc_user_status_cb cb,
                                               ppc_router_task *context) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_userStatusChangedListen", {text(userId)});
    if (!isLive(context) || userId == nullptr || *userId == '\0' || cb == nullptr) return -1;
    if (r == 0) m_userStatusCb = cb;
    return r;
}

int FakeDeviceSdk::ppc_cancel_userStatusChangedListen(ppc_router_task *) {
    std::lock_guard<std::mutex> l(m_mu);
    record("ppc_cancel_userStatusChangedListen", {});
    return 0;
}

user_list_item **FakeDeviceSdk::ppc_FileGetUserList(int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_FileGetUserList", {num(token)});
    if (r != 0 || m_out.userListNull) return nullptr;
    auto **list =
        static_cast<user_list_item **>(std::calloc(m_out.fileUsers.size() + 1, sizeof(user_list_item *)));
    for (size_t i = 0; i < m_out.fileUsers.size(); ++i) {
        list[i] = static_cast<user_list_item *>(std::malloc(sizeof(user_list_item)));
        *list[i] = m_out.fileUsers[i];
    }
    ++m_liveUserLists;
    return list;
}

void FakeDeviceSdk::ppc_free_user_list(user_list_item **list) {
    std::lock_guard<std::mutex> l(m_mu);
    if (list == nullptr) return;
    for (user_list_item **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
    --m_liveUserLists;
}

int FakeDeviceSdk::ppc_DGetDeviceStatus(qv_dev_status *status, const char *ip, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_DGetDeviceStatus", {text(ip), num(token)});
    if (r == 0) *status = m_out.status;
    return r;
}

int FakeDeviceSdk::ppc_router_DeviceExec(int32_t seq, int32_t deviceStatus, const char *ip, int64_t token,
                                         file_task_cb progress, ppc_router_task *context) {
    std::vector<Outputs::Report> reports;
    int r = 0;
    {
        std::lock_guard<std::mutex> l(m_mu);
        r = record("ppc_router_DeviceExec", {num(seq), num(deviceStatus), text(ip), num(token)});
        if (!isLive(context)) return -1;
        if (deviceStatus == 0) return 0;  // nothing to do
        reports = m_out.execReports;
    }
    {
        std::unique_lock<std::mutex> l(m_mu);
        ++m_execsHeld;
        m_cv.notify_all();
        m_cv.wait(l, [&] { return !m_holdExec; });
        --m_execsHeld;
    }
    // The runtime's task record, as the progress callback reads it.
    auto *task = static_cast<client_file_task *>(std::calloc(1, sizeof(client_file_task)));
    task->id = seq;
    task->task_type = PPC_TASK_DEVICE_EXEC;
    task->dev_status = deviceStatus;
    for (const Outputs::Report &rep : reports) {
        task->status = rep.status;
        task->cur_progress = rep.done;
        task->total_progress = rep.total;
        if (progress != nullptr) progress(task);
    }
    std::free(task);
    return r;
}

int FakeDeviceSdk::ppc_RouterGetFWVersion(char *version, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_RouterGetFWVersion", {num(token)});
    if (r == 0) copyRaw(version, m_out.version, 32);
    return r;
}

int FakeDeviceSdk::ppc_get_BindCode(const char *ip, char *bindCode) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_get_BindCode", {text(ip)});
    if (ip == nullptr || *ip == '\0' || bindCode == nullptr) return -1;
    if (r == 0) copyRaw(bindCode, m_out.bindCode, 32);
    return r;
}

int FakeDeviceSdk::ppc_GeNasDeviceInfo(nas_device_info *info, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_GeNasDeviceInfo", {num(token)});
    if (r == 0) *info = m_out.nasInfo;
    return r;
}

int FakeDeviceSdk::ppc_GetUserList(user_list_info ***list, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_GetUserList", {num(token)});
    if (r != 0) return r;
    auto **out =
        static_cast<user_list_info **>(std::calloc(m_out.users.size() + 1, sizeof(user_list_info *)));
    for (size_t i = 0; i < m_out.users.size(); ++i) {
        out[i] = static_cast<user_list_info *>(std::malloc(sizeof(user_list_info)));
        *out[i] = m_out.users[i];
    }
    ++m_liveUserLists;
    *list = out;
    return 0;
}

void FakeDeviceSdk::qv_user_list_free(user_list_info **list) {
    std::lock_guard<std::mutex> l(m_mu);
    if (list == nullptr) return;
    for (user_list_info **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
    --m_liveUserLists;
}

int FakeDeviceSdk::ppc_isModuleSupport(ppc_router_task *context, int32_t type) {
    std::lock_guard<std::mutex> l(m_mu);
    record("ppc_isModuleSupport", {num(type)});
    if (!isLive(context)) return -1;
    for (const auto &[t, flag] : m_out.modules)
        if (t == type && flag == 1) return 0;
    return -1;
}

int FakeDeviceSdk::ppc_p2p_get_client_info(p2p_client_info *info, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_p2p_get_client_info", {num(token)});
    if (r == 0) {  // the device fills the middle three fields only
        info->mode = m_out.p2p.mode;
        info->nat_type = m_out.p2p.nat_type;
        std::memcpy(info->remote_ip, m_out.p2p.remote_ip, sizeof info->remote_ip);
    }
    return r;
}

int FakeDeviceSdk::ppc_GetDeviceNickName(char *name, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_GetDeviceNickName", {num(token)});
    if (r == 0) copyRaw(name, m_out.nickName, 64);
    return r;
}

int FakeDeviceSdk::ppc_SetDeviceNickName(const char *name, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    return record("ppc_SetDeviceNickName", {text(name), num(token)});
}

int FakeDeviceSdk::ppc_FileGetUserSpace(user_space_dnode *space, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_FileGetUserSpace", {num(token)});
    if (space == nullptr) return -1;
    if (r == 0) *space = m_out.space;
    return r;
}

// ---- transfers and operations ----

namespace {

std::string pathText(const path_info &p) {
    return text(p.path) + "@" + std::to_string(p.bucketId);
}

std::string joined(const char *const *texts, int32_t count, bool toEmptySlot) {
    std::string out;
    for (int32_t i = 0; texts != nullptr && (toEmptySlot ? texts[i] != nullptr : i < count); ++i)
        out += (i > 0 ? "|" : "") + text(texts[i]);
    return out;
}

}  // namespace

void FakeDeviceSdk::scriptTransfer(const std::string &fn, TransferScript script) {
    std::lock_guard<std::mutex> l(m_mu);
    m_transfers[fn] = std::move(script);
}

bool FakeDeviceSdk::feedReport(int32_t seq, Report report, int ms) {
    const int64_t id = static_cast<uint32_t>(seq);
    std::unique_lock<std::mutex> l(m_mu);
    const int target = m_reported[id] + 1;
    m_feed[id].push_back(report);
    m_cv.notify_all();
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_reported[id] >= target; });
}

void FakeDeviceSdk::finishFed(int32_t seq) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_finished[static_cast<uint32_t>(seq)] = true;
    }
    m_cv.notify_all();
}

bool FakeDeviceSdk::waitTransfersHeld(int n, int ms) const {
    std::unique_lock<std::mutex> l(m_mu);
    return m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_transfersHeld >= n; });
}

std::vector<int64_t> FakeDeviceSdk::deleteTotalsAtEntry() const {
    std::lock_guard<std::mutex> l(m_mu);
    return m_deleteTotals;
}

int FakeDeviceSdk::runTransfer(const std::string &fn, std::vector<std::string> args, int32_t kind, int64_t id,
                               int64_t token, file_task_cb progress, ppc_router_task *context,
                               const std::function<void(const TransferScript &)> &onEnd) {
    TransferScript sc;
    {
        std::lock_guard<std::mutex> l(m_mu);
        record(fn, std::move(args));
        if (!isLive(context)) return -1;
        const auto it = m_transfers.find(fn);
        if (it != m_transfers.end()) sc = it->second;
        ++m_transfersRunning;
    }
    client_file_task *task = client_file_task_new();
    task->id.store(id);
    task->task_type = kind;
    task->token = token;
    task->chunk_cb = progress;
    ppc_task_list_add(context, task);
    const auto marked = [task] { return task->cancel_status.load() != 0; };
    // Waits, counted as held, until `ready` or a cancel mark.
    const auto hold = [&](const std::function<bool()> &ready) {
        std::unique_lock<std::mutex> l(m_mu);
        ++m_transfersHeld;
        m_cv.notify_all();
        m_cv.wait(l, [&] { return ready() || marked(); });
        --m_transfersHeld;
    };
    bool cancelled = false;
    const auto give = [&](const Report &rep) {
        task->status.store(rep.status);
        task->cur_progress.store(rep.done);
        task->total_progress.store(rep.total);
        if (progress != nullptr) progress(task);
        {
            std::lock_guard<std::mutex> l(m_mu);
            ++m_reported[id];
        }
        m_cv.notify_all();
    };
    for (const Report &rep : sc.fed ? std::vector<Report>{} : sc.reports) {
        if ((cancelled = marked())) break;
        give(rep);
    }
    while (sc.fed && !cancelled) {
        hold([&] { return !m_feed[id].empty() || m_finished[id]; });
        if ((cancelled = marked())) break;
        Report rep;
        {
            std::lock_guard<std::mutex> l(m_mu);
            if (m_feed[id].empty()) break;  // finished
            rep = m_feed[id].front();
            m_feed[id].erase(m_feed[id].begin());
        }
        give(rep);
    }
    if (!cancelled && sc.holdUntilCancel) {
        hold([] { return false; });
        cancelled = true;
    }
    if (!cancelled && onEnd) onEnd(sc);
    task->chunk_cb = nullptr;
    ppc_task_list_remove(context, task);
    client_file_task_free(task);
    {
        std::lock_guard<std::mutex> l(m_mu);
        --m_transfersRunning;
    }
    m_cv.notify_all();
    return cancelled ? kCancelled : sc.result;
}

int FakeDeviceSdk::ppc_file_download(int32_t seq, const char *folder, path_info src, int64_t token,
                                     file_task_cb progress, ppc_router_task *context) {
    return runTransfer("ppc_file_download", {num(seq), text(folder), pathText(src), num(token)},
                       PPC_TASK_DOWNLOAD, static_cast<uint32_t>(seq), token, progress, context);
}

int FakeDeviceSdk::ppc_upload_FileTag(int32_t seq, const char *localPath, int32_t tagCount, char **tags,
                                      path_info dst, int64_t token, file_task_cb progress,
                                      ppc_router_task *context) {
    return runTransfer(
        "ppc_upload_FileTag",
        {num(seq), text(localPath), num(tagCount), joined(tags, tagCount, false), pathText(dst), num(token)},
        PPC_TASK_UPLOAD, static_cast<uint32_t>(seq), token, progress, context);
}

int FakeDeviceSdk::ppc_log_file_download(int32_t seq, const char *path, int32_t logType, int64_t token,
                                         file_task_cb progress, ppc_router_task *context) {
    return runTransfer("ppc_log_file_download", {num(seq), text(path), num(logType), num(token)},
                       PPC_TASK_LOG_DOWNLOAD, static_cast<uint32_t>(seq), token, progress, context);
}

int FakeDeviceSdk::ppc_delete_FileListCb(delete_list_req *request, int64_t token, ppc_router_task *context) {
    if (request == nullptr) return -1;
    std::vector<std::string> args{num(request->taskId)};
    for (path_info **p = request->pathList; p != nullptr && *p != nullptr; ++p) args.push_back(pathText(**p));
    {
        std::lock_guard<std::mutex> l(m_mu);
        m_deleteTotals.push_back(request->totalCount);
    }
    return runTransfer("ppc_delete_FileListCb", std::move(args), PPC_TASK_DELETE_LIST, request->taskId, token,
                       request->progressCb, context);
}

int FakeDeviceSdk::ppc_file_CopyCb(int32_t seq, path_info src, path_info dst, int64_t token,
                                   file_task_cb progress, ppc_router_task *context) {
    return runTransfer("ppc_file_CopyCb", {num(seq), pathText(src), pathText(dst), num(token)}, PPC_TASK_COPY,
                       static_cast<uint32_t>(seq), token, progress, context);
}

int FakeDeviceSdk::ppc_file_MoveCb(int32_t seq, path_info src, path_info dst, int64_t token,
                                   file_task_cb progress, ppc_router_task *context) {
    return runTransfer("ppc_file_MoveCb", {num(seq), pathText(src), pathText(dst), num(token)}, PPC_TASK_MOVE,
                       static_cast<uint32_t>(seq), token, progress, context);
}

int FakeDeviceSdk::ppc_get_RelaxUploadAuthValue(int32_t seq, const char *localPath, const char *kind,
                                                char *value, file_task_cb progress,
                                                ppc_router_task *context) {
    return runTransfer("ppc_get_RelaxUploadAuthValue", {num(seq), text(localPath), text(kind)},
                       PPC_TASK_RELAX_AUTH, static_cast<uint32_t>(seq), 0, progress, context,
                       [value](const TransferScript &sc) {
                           if (sc.result == 0 && value != nullptr)
                               std::snprintf(value, 64, "%s", sc.authValue.c_str());
                       });
}

int FakeDeviceSdk::ppc_FileRelaxUpload(int64_t size, uint32_t modifyTime, const char *kind, const char *value,
                                       path_info dst, int32_t *deviceStatus, int64_t token) {
    std::lock_guard<std::mutex> l(m_mu);
    const int r = record("ppc_FileRelaxUpload",
                         {num(size), num(modifyTime), text(kind), text(value), pathText(dst), num(token)});
    const auto it = m_transfers.find("ppc_FileRelaxUpload");
    if (r == 0 && deviceStatus != nullptr)
        *deviceStatus = it != m_transfers.end() ? it->second.deviceStatus : 1;
    return r;
}

int FakeDeviceSdk::afterCancel(int result) {
    { std::lock_guard<std::mutex> l(m_mu); }  // a waiter between its check and its wait sees the mark
    m_cv.notify_all();
    return result;
}

int FakeDeviceSdk::ppc_cancel_task(ppc_router_task *context, uint8_t byKind, int32_t kind, int64_t seq) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        record("ppc_cancel_task", {num(byKind), num(kind), num(seq)});
        if (!isLive(context)) return -1;
    }
    return afterCancel(::ppc_cancel_task(context, byKind, kind, seq));
}

int FakeDeviceSdk::ppc_cancel_FileTask(int32_t seq, ppc_router_task *context) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        record("ppc_cancel_FileTask", {num(seq)});
        if (!isLive(context)) return -1;
    }
    return afterCancel(::ppc_cancel_FileTask(static_cast<uint32_t>(seq), context));
}

int FakeDeviceSdk::ppc_cancel_GetRelaxUploadAuthValue(int32_t seq, ppc_router_task *context) {
    {
        std::lock_guard<std::mutex> l(m_mu);
        record("ppc_cancel_GetRelaxUploadAuthValue", {num(seq)});
        if (!isLive(context)) return -1;
    }
    return afterCancel(::ppc_cancel_GetRelaxUploadAuthValue(static_cast<uint32_t>(seq), context));
}
