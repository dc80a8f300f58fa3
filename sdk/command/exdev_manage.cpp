#include "command/exdev_manage.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/qv_strlcpy.h"

namespace {
exdev_dnode g_head{&g_head, &g_head, {}, {}};
int32_t g_count = 0;
pthread_mutex_t g_mutex;
std::atomic<bool> g_ready{false};

// The key as stored: cut to the entry's room, so a long uuid still finds its own entry.
bool same_uuid(const exdev_dnode *n, const char *uuid) {
    return std::strncmp(n->dev_uuid, uuid, QV_EXDEV_TEXT_MAX) == 0 &&
           (std::strlen(uuid) <= QV_EXDEV_TEXT_MAX || n->dev_uuid[QV_EXDEV_TEXT_MAX - 1] != '\0');
}

exdev_dnode *find_locked(const char *uuid) {
    for (exdev_dnode *n = g_head.next; n != &g_head; n = n->next)
        if (same_uuid(n, uuid)) return n;
    return nullptr;
}

struct Lock {
    Lock() { pthread_mutex_lock(&g_mutex); }
    ~Lock() { pthread_mutex_unlock(&g_mutex); }
};
}  // namespace

int init_exdev_list() {
    pthread_mutex_init(&g_mutex, nullptr);
    g_head.next = g_head.prev = &g_head;
    g_count = 0;
    g_ready = true;
    return 0;
}

int free_exdev_list() {
    if (!g_ready.exchange(false)) return QV_ERR_FAILED;
    pthread_mutex_lock(&g_mutex);
    for (exdev_dnode *n = g_head.next; n != &g_head;) {
        exdev_dnode *next = n->next;
        std::free(n);
        n = next;
    }
    g_head.next = g_head.prev = &g_head;
    g_count = 0;
    pthread_mutex_unlock(&g_mutex);
    return pthread_mutex_destroy(&g_mutex);
}

exdev_dnode *lookup_exdev(const char *uuid) {
    if (uuid == nullptr || !g_ready) return nullptr;
    Lock lock;
    return find_locked(uuid);
}

exdev_dnode *add_exdev_to_list(const char *name, const char *uuid) {
    if (name == nullptr || uuid == nullptr || !g_ready) {
        QV_LOG_ERROR("dev_name or dev_uuid is null");
        return nullptr;
    }
    Lock lock;
    if (exdev_dnode *found = find_locked(uuid)) return found;
    auto *fdi = static_cast<exdev_dnode *>(std::calloc(1, sizeof(exdev_dnode)));
    if (fdi == nullptr) {
        QV_LOG_ERROR("fdi != NULL");
        std::abort();
    }
    qv_strlcpy(fdi->dev_uuid, uuid);
    qv_strlcpy(fdi->dev_name, name);
    fdi->next = &g_head;
    fdi->prev = g_head.prev;
    g_head.prev->next = fdi;
    g_head.prev = fdi;
    ++g_count;
    return fdi;
}

int remove_exdev(const char *uuid) {
    if (!g_ready) return QV_ERR_FAILED;
    Lock lock;
    if (g_head.next == &g_head) return QV_ERR_NOT_IN_LIST;
    if (uuid == nullptr) return 0;
    for (exdev_dnode *n = g_head.next; n != &g_head;) {
        exdev_dnode *next = n->next;
        if (same_uuid(n, uuid)) {
            n->prev->next = n->next;
            n->next->prev = n->prev;
            std::free(n);
            if (g_count > 0) --g_count;
        }
        n = next;
    }
    return 0;
}

int32_t for_each_exdev(void (*fn)(const exdev_dnode *node, void *ctx), void *ctx) {
    if (!g_ready) return 0;
    Lock lock;
    if (fn != nullptr)
        for (const exdev_dnode *n = g_head.next; n != &g_head; n = n->next) fn(n, ctx);
    return g_count;
}
