#include "codec/reply_copy.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/file_list.h"
#include "codec/file_parse_admin.h"
#include "codec/file_parse_list.h"

namespace {

// Allocation of the copies: zeroed, null without memory (the caller unwinds what it made so far).
template <typename T>
T *zeroed(size_t n = 1) {
    return static_cast<T *>(std::calloc(n, sizeof(T)));
}

// A heap copy of `s` (null stays null); false without memory.
bool dup(const char *s, char **out, size_t *bytes) {
    *out = nullptr;
    if (s == nullptr) return true;
    const size_t n = std::strlen(s) + 1;
    *out = static_cast<char *>(std::malloc(n));
    if (*out == nullptr) return false;
    std::memcpy(*out, s, n);
    *bytes += n;
    return true;
}

file_type_item **clone_type_list(file_type_item *const *items, size_t *bytes) {
    size_t n = 0;
    while (items[n] != nullptr) ++n;
    auto **out = zeroed<file_type_item *>(n + 1);
    if (out == nullptr) return nullptr;
    *bytes += (n + 1) * sizeof(file_type_item *);
    for (size_t i = 0; i < n; ++i) {
        auto *it = zeroed<file_type_item>();
        if (it == nullptr) {
            ppc_free_type_list(out);
            return nullptr;
        }
        out[i] = it;
        *it = *items[i];
        it->name = it->path = nullptr;
        *bytes += sizeof(file_type_item);
        if (!dup(items[i]->name, &it->name, bytes) || !dup(items[i]->path, &it->path, bytes)) {
            ppc_free_type_list(out);
            return nullptr;
        }
    }
    return out;
}

tag_head *clone_tags(const tag_head *ring, size_t *bytes) {
    tag_head *out = tag_ring_new();
    if (out == nullptr) return nullptr;
    *bytes += sizeof(tag_head);
    // Insertion goes to the front: walking from the last keeps the order.
    for (const tag_entry *e = ring->prev; e != tag_ring_end(ring); e = e->prev) {
        if (tag_ring_insert(out, e->tagName) != 0) {
            tag_ring_free(out);
            return nullptr;
        }
        *bytes += sizeof(tag_entry);
    }
    return out;
}

// The list in its order, every text and sub-list its own; false (with *out empty) without memory.
bool clone_files(const file_dnode *list, file_dnode **out, size_t *bytes) {
    *out = nullptr;
    file_dnode **tail = out;
    for (const file_dnode *n = list; n != nullptr; n = n->next) {
        auto *c = zeroed<file_dnode>();
        if (c == nullptr) break;
        *c = *n;
        c->name = c->path = c->file_uuid = nullptr;
        c->next = nullptr;
        c->type_list = nullptr;
        c->tag_list = nullptr;
        *tail = c;
        tail = &c->next;
        *bytes += sizeof(file_dnode);
        if (!dup(n->name, &c->name, bytes) || !dup(n->path, &c->path, bytes) ||
            !dup(n->file_uuid, &c->file_uuid, bytes))
            break;
        if (n->type_list != nullptr && (c->type_list = clone_type_list(n->type_list, bytes)) == nullptr)
            break;
        if (n->tag_list != nullptr && (c->tag_list = clone_tags(n->tag_list, bytes)) == nullptr) break;
        if (n->next == nullptr) return true;
    }
    if (list == nullptr) return true;
    ppc_destory_file_list(*out);
    *out = nullptr;
    return false;
}

void append(recent_list *head, recent_dnode *node) {
    recent_dnode *end = recent_ring_end(head);
    node->next = end;
    node->prev = head->prev;
    if (head->prev == end)
        head->next = node;
    else
        head->prev->next = node;
    head->prev = node;
}

// The records of `from` appended to the empty ring `to` in their order; false without memory (`to`
// then holds what was made and its owner frees it).
bool clone_records(const recent_list *from, recent_list *to, size_t *bytes) {
    auto *src = const_cast<recent_list *>(from);
    for (recent_dnode *n = src->next; n != nullptr && n != recent_ring_end(src); n = n->next) {
        auto *c = zeroed<recent_dnode>();
        if (c == nullptr) return false;
        *c = *n;
        c->fInfo = nullptr;
        c->rList = nullptr;
        append(to, c);
        *bytes += sizeof(recent_dnode);
        if (n->fInfo != nullptr) {
            if ((c->fInfo = zeroed<recent_file_info>()) == nullptr) return false;
            *c->fInfo = *n->fInfo;
            *bytes += sizeof(recent_file_info);
        }
        if (n->rList != nullptr) {
            if ((c->rList = zeroed<recent_list>()) == nullptr) return false;
            *c->rList = *n->rList;
            recent_ring_init(c->rList);
            *bytes += sizeof(recent_list);
            if (!clone_records(n->rList, c->rList, bytes)) return false;
        }
    }
    return true;
}

recent_list *clone_recent(const recent_list *from, size_t *bytes) {
    auto *out = zeroed<recent_list>();
    if (out == nullptr) return nullptr;
    *out = *from;
    recent_ring_init(out);
    *bytes += sizeof(recent_list);
    if (!clone_records(from, out, bytes)) {
        ppc_free_recent_list(out);
        return nullptr;
    }
    return out;
}

user_list_info **clone_users(user_list_info *const *list, size_t *bytes) {
    size_t n = 0;
    while (list[n] != nullptr) ++n;
    auto **out = zeroed<user_list_info *>(n + 1);
    if (out == nullptr) return nullptr;
    *bytes += (n + 1) * sizeof(user_list_info *);
    for (size_t i = 0; i < n; ++i) {
        if ((out[i] = zeroed<user_list_info>()) == nullptr) {
            qv_user_list_free(out);
            return nullptr;
        }
        *out[i] = *list[i];
        *bytes += sizeof(user_list_info);
    }
    return out;
}

bool ring_is_empty(recent_list *head) {
    return head->next == nullptr || head->next == recent_ring_end(head);
}

enum class Shape { kPage, kHolder, kRecords, kUsers, kNone };

Shape shape_of(int32_t cmd) {
    switch (cmd) {
        case 101:
            return Shape::kPage;  // the caller's holder, filled
        case 120:
        case 123:
        case 124:
        case 158:
            return Shape::kHolder;  // a holder the parse allocates
        case 151:
        case 161:
            return Shape::kRecords;
        case 323:
            return Shape::kUsers;
        default:
            return Shape::kNone;
    }
}

// The type lists stamp the request's file type on their records.
bool reads_file_type(int32_t cmd) {
    return cmd == 120 || cmd == 124 || cmd == 158;
}

}  // namespace

class qv_reply_copy {
  public:
    int32_t cmd = 0;
    int32_t file_type = 0;
    file_list_info *files = nullptr;
    recent_list *records = nullptr;
    user_list_info **users = nullptr;
    size_t bytes = sizeof(qv_reply_copy);

    qv_reply_copy() = default;
    qv_reply_copy(const qv_reply_copy &) = delete;
    qv_reply_copy &operator=(const qv_reply_copy &) = delete;
    ~qv_reply_copy() {
        if (files != nullptr) {
            ppc_destory_file_list(files->list);
            std::free(files);
        }
        if (records != nullptr) ppc_free_recent_list(records);
        qv_user_list_free(users);
    }
};

std::shared_ptr<const qv_reply_copy> qv_reply_copy_take(const client_info *info) {
    if (info == nullptr) return nullptr;
    const Shape shape = shape_of(info->cmd);
    if (shape == Shape::kNone) return nullptr;
    auto copy = std::shared_ptr<qv_reply_copy>(new (std::nothrow) qv_reply_copy);
    if (copy == nullptr) return nullptr;
    copy->cmd = info->cmd;
    copy->file_type = info->fileType;
    switch (shape) {
        case Shape::kPage:
        case Shape::kHolder: {
            // A page without its holder leaves only a count, which a copy cannot tell apart.
            // A holder with a uuid list is not what these parses make.
            const file_list_info *from = info->file_list;
            if (from == nullptr || from->uuid_list != nullptr) return nullptr;
            if ((copy->files = zeroed<file_list_info>()) == nullptr) return nullptr;
            *copy->files = *from;
            copy->files->list = nullptr;
            copy->bytes += sizeof(file_list_info);
            if (!clone_files(from->list, &copy->files->list, &copy->bytes)) return nullptr;
            break;
        }
        case Shape::kRecords:
            if (info->rList == nullptr) return nullptr;
            if ((copy->records = clone_recent(info->rList, &copy->bytes)) == nullptr) return nullptr;
            break;
        case Shape::kUsers:
            if (info->userList == nullptr) return nullptr;
            if ((copy->users = clone_users(info->userList, &copy->bytes)) == nullptr) return nullptr;
            break;
        case Shape::kNone:
            return nullptr;
    }
    return copy;
}

size_t qv_reply_copy_bytes(const qv_reply_copy &copy) {
    return copy.bytes;
}

int32_t qv_reply_copy_cmd(const qv_reply_copy &copy) {
    return copy.cmd;
}

int qv_reply_copy_apply(const qv_reply_copy &copy, client_info *info) {
    if (info == nullptr || info->cmd != copy.cmd) return -1;
    if (reads_file_type(copy.cmd) && info->fileType != copy.file_type) return -1;
    size_t bytes = 0;
    switch (shape_of(copy.cmd)) {
        case Shape::kPage: {
            // The parse fills the caller's empty holder and counts every record it adds.
            file_list_info *page = info->file_list;
            if (page == nullptr || page->list != nullptr || page->uuid_list != nullptr) return -1;
            file_dnode *list = nullptr;
            if (!clone_files(copy.files->list, &list, &bytes)) return -1;
            int32_t n = 0;
            for (const file_dnode *p = list; p != nullptr; p = p->next) ++n;
            page->count = copy.files->count;
            page->totalCount = copy.files->totalCount;
            page->list = list;
            info->count += n;
            return 0;
        }
        case Shape::kHolder: {
            if (info->file_list != nullptr) return -1;
            auto *holder = zeroed<file_list_info>();
            if (holder == nullptr) return -1;
            *holder = *copy.files;
            if (!clone_files(copy.files->list, &holder->list, &bytes)) {
                std::free(holder);
                return -1;
            }
            info->file_list = holder;
            return 0;
        }
        case Shape::kRecords: {
            // The parse fills the caller's empty holder; its counters come from the reply.
            recent_list *head = info->rList;
            if (head == nullptr || !ring_is_empty(head) || head->count != 0 || head->totalCount != 0 ||
                head->picture_count != 0 || head->vedeo_count != 0)
                return -1;
            recent_list *made = clone_recent(copy.records, &bytes);
            if (made == nullptr) return -1;
            // The records move into the caller's head; the ring's ends are re-pointed at it.
            *head = *made;
            if (made->next == recent_ring_end(made)) {
                recent_ring_init(head);
            } else {
                head->next->prev = recent_ring_end(head);
                head->prev->next = recent_ring_end(head);
            }
            std::free(made);
            return 0;
        }
        case Shape::kUsers: {
            if (info->userList != nullptr) return -1;
            user_list_info **users = clone_users(copy.users, &bytes);
            if (users == nullptr) return -1;
            info->userList = users;
            return 0;
        }
        case Shape::kNone:
            break;
    }
    return -1;
}
