#include "runtime/dev_manage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

#include "base/qv_log.h"

namespace {

struct Entry {
    qv_dev_detail d;
    int undetailed_rounds;
};

std::mutex g_mutex;
std::list<Entry> g_list;

template <size_t N>
void copy_text(char (&dst)[N], const char *src) {
    std::snprintf(dst, N, "%s", src);
}

qv_dev_detail **snapshot(unsigned *count, bool detailed_only) {
    if (count != nullptr) *count = 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t n = 0;
    for (const Entry &e : g_list) {
        if (!detailed_only || e.d.dev_uuid[0] != '\0') ++n;
    }
    if (n == 0) return nullptr;
    // One block: n + 1 pointers, then the n copies.
    size_t head = (n + 1) * sizeof(qv_dev_detail *);
    head = (head + alignof(qv_dev_detail) - 1) / alignof(qv_dev_detail) * alignof(qv_dev_detail);
    auto *block = static_cast<char *>(std::calloc(1, head + n * sizeof(qv_dev_detail)));
    if (block == nullptr) return nullptr;
    auto **arr = reinterpret_cast<qv_dev_detail **>(block);
    auto *recs = reinterpret_cast<qv_dev_detail *>(block + head);
    size_t i = 0;
    for (const Entry &e : g_list) {
        if (detailed_only && e.d.dev_uuid[0] == '\0') continue;
        recs[i] = e.d;
        recs[i].next = recs[i].prev = nullptr;
        if (detailed_only) QV_LOG_DEBUG("fdi->dev_uuid = %s", recs[i].dev_uuid);
        arr[i] = &recs[i];
        ++i;
    }
    if (count != nullptr) *count = static_cast<unsigned>(n);
    return arr;
}

}  // namespace

void qv_init_dev_list() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_list.clear();
}

int qv_free_dev_list() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_list.clear();
    return 0;
}

unsigned qv_dev_list_count() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<unsigned>(g_list.size());
}

int qv_update_dev_list(qv_dev_detail *r, int op) {
    if (r == nullptr) return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    bool matched = false;
    for (Entry &e : g_list) {
        if (std::strcmp(e.d.ip, r->ip) != 0) continue;
        matched = true;
        qv_dev_detail &d = e.d;
        switch (op) {
            case QV_DEV_ADD:
                return 1;
            case QV_DEV_AGE:
                if (d.detail_flag != 1) break;
                if (d.life <= 0) {
                    d.life = 0;
                    return 1;
                }
                --d.life;
                return 0;
            case QV_DEV_AGE_UNDETAILED:
                if (d.detail_flag != 0) break;
                return ++e.undetailed_rounds >= QV_DEV_UNDETAILED_ROUNDS ? 1 : 0;
            case QV_DEV_REFRESH:
                if (d.detail_flag == 1 && d.life > 0) {
                    d.life = QV_DEV_LIFE_REFRESHED;
                    return 0;
                }
                break;
            case QV_DEV_FILL: {
                if (d.detail_flag != 0) break;
                // A device id belongs to the address that announced it first; a second claimant is ignored.
                if (r->dev_uuid[0] != '\0') {
                    for (const Entry &o : g_list) {
                        if (&o != &e && std::strcmp(o.d.dev_uuid, r->dev_uuid) == 0) {
                            QV_LOG_ERROR("device id of %s already announced by %s; ignored", r->ip, o.d.ip);
                            return 0;
                        }
                    }
                }
                d.port = r->port;
                d.suppServ = r->suppServ;
                d.type = r->type;
                copy_text(d.miscellaneous, r->miscellaneous);
                copy_text(d.type_name, r->type_name);
                copy_text(d.mac, r->mac);
                copy_text(d.dev_uuid, r->dev_uuid);
                copy_text(d.p2p_uuid, r->p2p_uuid);
                copy_text(d.device_name, r->device_name);
                d.life = QV_DEV_LIFE_FILLED;
                d.detail_flag = 1;
                r->detail_flag = 1;
                return 0;
            }
            default:
                break;
        }
    }
    if (op == QV_DEV_REMOVE) {
        if (g_list.empty()) return -1;
        g_list.remove_if([r](const Entry &e) { return std::strcmp(e.d.ip, r->ip) == 0; });
        return 0;
    }
    if (op == QV_DEV_ADD && !matched) {
        if (g_list.size() >= QV_DEV_LIST_MAX) {
            QV_LOG_ERROR("device list full (%u); %s not added", QV_DEV_LIST_MAX, r->ip);
            return -1;
        }
        Entry e{};
        copy_text(e.d.ip, r->ip);
        g_list.push_back(e);
        return 0;
    }
    return 0;
}

int is_dev_exist(const char *ip) {
    if (ip == nullptr) return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const Entry &e : g_list) {
        if (std::strcmp(e.d.ip, ip) == 0) return 1;
    }
    QV_LOG_DEBUG("the %s is not exist", ip);
    return 0;
}

qv_dev_detail **qv_get_dev_list(unsigned *count) {
    return snapshot(count, false);
}

qv_dev_detail **qv_get_dev_detail_list(unsigned *count) {
    return snapshot(count, true);
}

int qv_display_dev_list(qv_dev_detail **list) {
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) QV_LOG_DEBUG("dev ip = %s", list[i]->ip);
    return 0;
}

void *qv_xmalloc(size_t size) {
    void *p = std::malloc(size);
    if (p == nullptr && size != 0) std::fputs("bb_msg_memory_exhausted\n", stderr);
    return p;
}

void *qv_xzalloc(size_t size) {
    void *p = qv_xmalloc(size);
    if (p != nullptr) std::memset(p, 0, size);
    return p;
}

void qv_xfree(void *p) {
    std::free(p);
}
