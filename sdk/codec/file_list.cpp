#include "codec/file_list.h"

#include <cstdlib>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"

namespace {
template <typename T>
T *new_node() {
    return static_cast<T *>(std::calloc(1, sizeof(T)));
}

// A zeroed node for an add to `head`; null (with the add's failure line logged) without memory or head.
template <typename T, typename H>
T *node_for(H **head, const char *failure) {
    T *n = head ? new_node<T>() : nullptr;
    if (!n) QV_LOG_DEBUG("%s", failure);
    return n;
}

// A failed copy leaves the field null; the add still succeeds.
char *dup_or_null(const char *s) {
    return s ? strdup(s) : nullptr;
}

// Copies at most cap-1 bytes and always terminates.
void copy_inline(char *dst, size_t cap, const char *src) {
    if (!src) {
        dst[0] = '\0';
        return;
    }
    size_t n = strnlen(src, cap - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}
}  // namespace

tag_head *tag_ring_new() {
    auto *ring = new_node<tag_head>();
    if (!ring) return nullptr;
    ring->next = ring->prev = reinterpret_cast<tag_entry *>(ring);
    return ring;
}

int tag_ring_insert(tag_head *ring, const char *name) {
    if (!ring) return QV_ERR_ARG;
    auto *e = new_node<tag_entry>();
    if (!e) return QV_ERR_ARG;
    copy_inline(e->tagName, sizeof e->tagName, name);
    auto *sentinel = reinterpret_cast<tag_entry *>(ring);
    e->next = ring->next;
    e->prev = sentinel;
    if (ring->next == sentinel)
        ring->prev = e;
    else
        ring->next->prev = e;
    ring->next = e;
    return 0;
}

void tag_ring_free(tag_head *ring) {
    if (!ring) return;
    auto *sentinel = reinterpret_cast<tag_entry *>(ring);
    tag_entry *e = ring->next;
    while (e && e != sentinel) {
        tag_entry *next = e->next;
        // Unlink: join the neighbours, clear the entry's own links.
        if (e->prev == sentinel)
            ring->next = next;
        else
            e->prev->next = next;
        if (next == sentinel)
            ring->prev = e->prev;
        else
            next->prev = e->prev;
        e->next = e->prev = nullptr;
        std::free(e);
        e = next;
    }
    std::free(ring);
}

int ppc_add_file_to_list(file_dnode **head, const char *name, int64_t size, int64_t date, uint8_t isFolder,
                         const char *path, int32_t bucketId, int32_t isStore, tag_head *tags, int32_t type) {
    auto *n = node_for<file_dnode>(head, "add disk list error");
    if (!n) return QV_ERR_ARG;
    n->name = dup_or_null(name);
    n->path = dup_or_null(path);
    n->size = isFolder == 1 ? 0 : size;
    n->date = date;
    n->isFolder = isFolder;
    n->bucketId = bucketId;
    n->isStore = isStore;
    n->tag_list = tags;
    if (type != 0) n->type = type;
    n->next = *head;
    *head = n;
    return 0;
}

int ppc_link_file_to_list(file_dnode **head, file_dnode *node) {
    if (!head || !node) return QV_ERR_ARG;
    node->next = *head;
    *head = node;
    return 0;
}

int ppc_add_dir_to_list(file_dnode **head, const char *name, int64_t size, int64_t date, uint8_t isFolder,
                        const char *path, int32_t count, int32_t bucketId) {
    auto *n = node_for<file_dnode>(head, "add disk list error");
    if (!n) return QV_ERR_ARG;
    n->name = dup_or_null(name);
    n->path = dup_or_null(path);
    n->size = size;
    n->date = date;
    n->isFolder = isFolder;
    n->count = count;
    n->bucketId = bucketId;
    n->next = *head;
    *head = n;
    return 0;
}

int ppc_add_uuid_to_list(file_dnode **head, const char *uuid) {
    auto *n = node_for<file_dnode>(head, "add disk list error");
    if (!n) return QV_ERR_ARG;
    n->file_uuid = dup_or_null(uuid);
    n->next = *head;
    *head = n;
    return 0;
}

int ppc_uuid_is_exist_list(const char *uuid, const file_dnode *list) {
    if (!uuid || !list) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    for (; list; list = list->next)
        if (list->file_uuid && std::strcmp(list->file_uuid, uuid) == 0) return 0;
    QV_LOG_DEBUG("the file uuid is not exist in list");
    return QV_ERR_NOT_IN_LIST;
}

int ppc_add_uuid_only_to_list(uuid_dnode **head, const char *uuid) {
    auto *n = node_for<uuid_dnode>(head, "add disk list error");
    if (!n) return QV_ERR_ARG;
    if (uuid) {
        n->file_uuid = strdup(uuid);
        if (!n->file_uuid) {
            std::free(n);
            QV_LOG_DEBUG("cur->file_uuid strdup failed...");
            return QV_ERR_ARG;
        }
    }
    n->next = *head;
    *head = n;
    return 0;
}

int ppc_check_uuid_is_exist_list(const char *uuid, const uuid_dnode *list) {
    if (!uuid || !list) {
        QV_LOG_ERROR("para is null");
        return QV_ERR_ARG;
    }
    for (; list; list = list->next)
        if (list->file_uuid && std::strcmp(list->file_uuid, uuid) == 0) return 0;
    return QV_ERR_NOT_IN_LIST;
}

int uuid_list_free(uuid_dnode *list) {
    if (!list) return QV_ERR_ARG;
    while (list) {
        uuid_dnode *next = list->next;
        std::free(list->file_uuid);
        std::free(list);
        list = next;
    }
    return 0;
}

void ppc_free_type_list(file_type_item **items) {
    if (!items) return;
    for (file_type_item **p = items; *p; ++p) {
        std::free((*p)->path);
        std::free((*p)->name);
        std::free(*p);
    }
    std::free(items);
}

int ppc_destory_file_list(file_dnode *list) {
    if (!list) return QV_ERR_ARG;
    while (list) {
        file_dnode *next = list->next;
        std::free(list->name);
        std::free(list->path);
        std::free(list->file_uuid);
        ppc_free_type_list(list->type_list);
        tag_ring_free(list->tag_list);
        std::free(list);
        list = next;
    }
    return 0;
}

void ppc_dfree_file_dnode(file_dnode **nodes) {
    if (!nodes) return;
    for (file_dnode **p = nodes; *p; ++p) {
        std::free((*p)->name);
        std::free((*p)->path);
        std::free((*p)->file_uuid);
        std::free(*p);
    }
    std::free(nodes);
}

int ppc_check_file_list(const file_dnode *list) {
    return list ? 0 : QV_ERR_ARG;
}

int ppc_add_disk_to_list(disk_dnode **head, const char *name, const char *path, int64_t size, int64_t avSize,
                         int32_t diskType, const char *fstype) {
    auto *n = node_for<disk_dnode>(head, "add disk list error");
    if (!n) return QV_ERR_ARG;
    n->name = dup_or_null(name);
    n->path = dup_or_null(path);
    n->fstype = dup_or_null(fstype);
    n->size = size;
    n->avSize = avSize;
    n->diskType = diskType;
    n->next = *head;
    *head = n;
    return 0;
}

int ppc_destory_disk_list(disk_dnode *list) {
    if (!list) return QV_ERR_ARG;
    while (list) {
        disk_dnode *next = list->next;
        std::free(list->name);
        std::free(list->path);
        std::free(list->fstype);
        std::free(list);
        list = next;
    }
    QV_LOG_DEBUG("free succ");
    return 0;
}

int ppc_add_user_space_to_list(user_space_dnode **head, const char *userName, int64_t usedSpace,
                               int64_t allocateSpace) {
    auto *n = node_for<user_space_dnode>(head, "add user space error");
    if (!n) return QV_ERR_ARG;
    copy_inline(n->userName, sizeof n->userName, userName);
    n->usedSpace = usedSpace;
    n->allocateSpace = allocateSpace;
    n->next = *head;
    *head = n;
    return 0;
}

int ppc_destory_user_space_list(user_space_dnode *list) {
    if (!list) return QV_ERR_ARG;
    while (list) {
        user_space_dnode *next = list->next;
        std::free(list);
        list = next;
    }
    QV_LOG_DEBUG("free succ");
    return 0;
}

int ppc_add_module_support_to_list(module_support_dnode **head, int32_t supportType, int32_t status) {
    if (!head) {
        QV_LOG_ERROR("para is null, dn = %p", static_cast<void *>(head));
        return QV_ERR_ARG;
    }
    auto *n = new_node<module_support_dnode>();
    if (!n) {
        QV_LOG_ERROR("xzalloc failed.");
        return QV_ERR_ARG;
    }
    n->supportType = supportType;
    n->status = status;
    n->next = *head;
    *head = n;
    return 0;
}

int ppc_destory_module_support_list(module_support_dnode **head) {
    if (!head) {
        QV_LOG_ERROR("para is null, dn = %p", static_cast<void *>(head));
        return QV_ERR_ARG;
    }
    if (!*head) {
        QV_LOG_ERROR("para is null, *dn = %p", static_cast<void *>(*head));
        return QV_ERR_ARG;
    }
    module_support_dnode *n = *head;
    while (n) {
        module_support_dnode *next = n->next;
        std::free(n);
        n = next;
    }
    *head = nullptr;
    return 0;
}

int ppc_find_module_support(const module_support_dnode *list, int32_t supportType) {
    for (; list; list = list->next)
        if (list->supportType == supportType && list->status == 1) return 0;
    return QV_ERR_NOT_IN_LIST;
}

void ppc_display_disk_dnode(const disk_dnode *list) {
    for (int i = 0; list; list = list->next, ++i)
        if (list->name)
            QV_LOG_DEBUG("[%d] name:%s fstype:%s", i, list->name, list->fstype ? list->fstype : "");
}

void ppc_display_file_type_list(file_type_item *const *items) {
    if (!items) return;
    for (; *items; ++items)
        QV_LOG_DEBUG("path:%s name:%s bucketId:%d", (*items)->path ? (*items)->path : "",
                     (*items)->name ? (*items)->name : "", (*items)->bucketId);
}

void ppc_display_file_dnode(const file_dnode *list) {
    for (int i = 0; list; list = list->next, ++i) {
        QV_LOG_DEBUG("[%d] path:%s bucketId:%d totalCount:%d count:%d", i, list->path ? list->path : "",
                     list->bucketId, list->totalCount, list->count);
        ppc_display_file_type_list(list->type_list);
    }
}

void ppc_display_files_dnode(file_dnode *const *nodes) {
    if (!nodes) return;
    for (int i = 0; nodes[i]; ++i)
        QV_LOG_DEBUG("[%d] name:%s size:%lld date:%lld bucketId:%d", i, nodes[i]->name ? nodes[i]->name : "",
                     static_cast<long long>(nodes[i]->size), static_cast<long long>(nodes[i]->date),
                     nodes[i]->bucketId);
}

void ppc_display_search_file_dnode(const file_dnode *list) {
    for (int i = 0; list; list = list->next, ++i) {
        if (!list->path || !list->name) continue;
        QV_LOG_DEBUG("[%d] path:%s isFolder:%d", i, list->path, list->isFolder);
        if (!list->tag_list) continue;
        auto *sentinel = reinterpret_cast<const tag_entry *>(list->tag_list);
        for (const tag_entry *e = list->tag_list->next; e && e != sentinel; e = e->next)
            QV_LOG_DEBUG("tag:%s", e->tagName);
    }
}

void ppc_display_gps_file_list_dnode(const file_dnode *list) {
    for (int i = 0; list; list = list->next, ++i)
        if (list->path && list->name)
            QV_LOG_DEBUG("[%d] path:%s lat:%f lon:%f size:%lld date:%lld", i, list->path, list->latitude,
                         list->longtitude, static_cast<long long>(list->size),
                         static_cast<long long>(list->date));
}

void ppc_display_user_space_dnode(const user_space_dnode *list) {
    for (int i = 0; list; list = list->next, ++i)
        QV_LOG_DEBUG("[%d] userName:%s usedSpace:%lld allocateSpace:%lld", i, list->userName,
                     static_cast<long long>(list->usedSpace), static_cast<long long>(list->allocateSpace));
}

void ppc_display_module_support_dnode(const module_support_dnode *list) {
    for (int i = 0; list; list = list->next, ++i)
        QV_LOG_DEBUG("[%d] supportType:%d status:%d", i, list->supportType, list->status);
}
