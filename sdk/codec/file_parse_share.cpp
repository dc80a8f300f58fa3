// Reply parsers of the share-link commands (187, 188) and the shared-file commands (204, 205, 206).
// Every failure returns QV_ERR_BAD_DATA and leaves nothing allocated and nothing in the result slot.
#include "codec/file_parse_share.h"

#include <json-c/json.h>

#include <cstdlib>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "codec/file_process.h"
#include "codec/reply_json.h"

using qv_reply::member;

namespace {

constexpr int kBad = QV_ERR_BAD_DATA;

void ring_init(share_ring_link *head) {
    head->next = head;
    head->prev = head;
}

// Inserts a node right after the head, so a forward walk meets the last inserted first.
void ring_push_front(share_ring_link *head, share_ring_link *node) {
    node->next = head->next;
    node->prev = head;
    head->next->prev = node;
    head->next = node;
}

template <typename Node>
void ring_free(share_ring_link *head, Node *(*of)(share_ring_link *)) {
    share_ring_link *l = head->next;
    while (l != head) {
        share_ring_link *next = l->next;
        l->prev->next = next;
        next->prev = l->prev;
        std::free(of(l));
        l = next;
    }
    ring_init(head);
}

// Element 0 of "data"; `second_line` is logged when the second lookup in the log.
json_object *data_element(const client_info *info, const char *second_line) {
    return qv_reply::data_first(info->r_json, "### JSON_GET_OBJECT failed, data_json is null. ###",
                                second_line);
}

// A required member; logs "<key>Json" when it is missing or null.
json_object *need(json_object *obj, const char *key) {
    json_object *v = member(obj, key);
    if (v == nullptr) QV_LOG_ERROR("### JSON_GET_OBJECT_EX failed, %sJson is null. ###", key);
    return v;
}

// A required text member into a fixed field.
template <size_t N>
bool need_text(char (&dst)[N], json_object *obj, const char *key, const char *value_name = nullptr) {
    json_object *v = need(obj, key);
    if (v == nullptr) return false;
    const char *text = qv_reply::text(v);
    if (text == nullptr) {
        QV_LOG_ERROR("### JSON_GET_OBJECT_VALUE failed, %s is null. ###", value_name ? value_name : key);
        return false;
    }
    qv_strlcpy(dst, text, N);
    return true;
}

bool need_i64(int64_t *dst, json_object *obj, const char *key) {
    json_object *v = need(obj, key);
    if (v == nullptr) return false;
    *dst = json_object_get_int64(v);
    return true;
}

bool need_u64(uint64_t *dst, json_object *obj, const char *key) {
    int64_t v = 0;
    if (!need_i64(&v, obj, key)) return false;
    *dst = static_cast<uint64_t>(v);
    return true;
}

bool need_i32(int32_t *dst, json_object *obj, const char *key) {
    json_object *v = need(obj, key);
    if (v == nullptr) return false;
    *dst = json_object_get_int(v);
    return true;
}

// "hasPw" (nonzero gives 1) and, when set, "password".
bool read_password(share_info *rec, json_object *obj, bool wide) {
    json_object *v = need(obj, "hasPw");
    if (v == nullptr) return false;
    rec->shareHasPw = (wide ? json_object_get_int64(v) != 0 : json_object_get_int(v) != 0) ? 1 : 0;
    if (rec->shareHasPw == 1 && !need_text(rec->sharePw, obj, "password")) return false;
    return true;
}

bool read_share_element(share_info *rec, json_object *elem) {
    if (!(need_u64(&rec->shareId, elem, "shareId") && need_i32(&rec->shareFileCount, elem, "fileCount") &&
          need_text(rec->shareName, elem, "name") && need_text(rec->shareUrl, elem, "url") &&
          need_u64(&rec->shareCreateTime, elem, "createTime") && read_password(rec, elem, false) &&
          need_u64(&rec->shareExpect, elem, "expect")))
        return false;
    int64_t status = 0;
    if (!need_i64(&status, elem, "status")) return false;
    rec->shareStatus = static_cast<int8_t>(static_cast<uint8_t>(status & 0xff));  // the low 8 bits
    return true;
}

bool read_share_file_element(share_file_info *rec, json_object *elem) {
    return need_text(rec->displayName, elem, "displayName") && need_text(rec->realName, elem, "realName") &&
           need_u64(&rec->size, elem, "size") && need_i64(&rec->modifyTime, elem, "modifyTime") &&
           need_i32(&rec->isDir, elem, "isDir");
}

// The array `key` of `elem` into the ring: each element read by `read` into a new zeroed record, pushed at
// the front (a forward walk meets them in reverse reply order). False, after logging, at the first failure;
// the records pushed so far stay in the ring for the caller to free.
template <typename Rec>
bool read_ring(share_ring_link *head, json_object *elem, const char *key, const char *what,
               bool (*read)(Rec *, json_object *)) {
    json_object *arr = qv_reply::array_member(elem, key);
    if (arr == nullptr) {
        QV_LOG_ERROR("### JSON_GET_OBJECT_EX failed, arrayJson is null. ###");
        return false;
    }
    const size_t n = json_object_array_length(arr);
    for (size_t i = 0; i < n; ++i) {
        json_object *item = json_object_array_get_idx(arr, i);
        if (item == nullptr) {
            QV_LOG_ERROR("### JSON_GET_ARRAY_MEMBER_BY_ID failed, paraArrayJson is null. ###");
            return false;
        }
        auto *rec = qv_reply::zalloc<Rec>(what);
        if (!read(rec, item)) {
            std::free(rec);
            return false;
        }
        ring_push_front(head, &rec->link);
    }
    return true;
}

}  // namespace

void share_list_free(share_list *list) {
    if (list == nullptr) return;
    ring_free(&list->link, share_info_of);
    std::free(list);
}

void share_file_list_free(share_file_list *list) {
    if (list == nullptr) return;
    ring_free(&list->link, share_file_info_of);
    std::free(list);
}

int parser_createShare(client_info *info, uint16_t, int, const file_cmd_row *) {
    create_share_req *block = info->req.pCreateShare;
    if (block == nullptr) return kBad;
    json_object *elem = data_element(info, "### JSON_GET_OBJECT failed, para_json is null. ###");
    if (elem == nullptr) return kBad;
    auto *rec = qv_reply::zalloc<share_info>("share_info != NULL");
    const bool ok = need_text(rec->shareName, elem, "name") && need_text(rec->shareUrl, elem, "url") &&
                    need_u64(&rec->shareCreateTime, elem, "createTime") && read_password(rec, elem, true) &&
                    need_u64(&rec->shareExpect, elem, "expect");
    if (!ok) {
        std::free(rec);
        return kBad;
    }
    // A result a previous parse left in the slot is replaced, not leaked.
    std::free(block->result);
    block->result = rec;
    return 0;
}

int parse_getShareList(client_info *info, uint16_t, int, const file_cmd_row *) {
    get_share_list_req *block = info->req.pGetShareList;
    if (block == nullptr) return kBad;
    json_object *elem = data_element(info, "### JSON_GET_ARRAY_MEMBER_BY_ID failed, para_json is null. ###");
    if (elem == nullptr) return kBad;
    auto *head = qv_reply::zalloc<share_list>("share_list != NULL");
    ring_init(&head->link);
    int32_t count = 0, total = 0;
    bool ok = need_i32(&count, elem, "count") && need_i32(&total, elem, "total");
    head->count = count;
    head->total = total;
    if (ok && count != 0)
        ok = read_ring(&head->link, elem, "shareList", "share_info != NULL", read_share_element);
    if (!ok) {
        share_list_free(head);
        return kBad;
    }
    share_list_free(block->result);
    block->result = head;
    return 0;
}

int parse_QvmsgGetShareFileList(client_info *info, uint16_t, int, const file_cmd_row *) {
    get_share_file_list_req *block = info->req.pGetShareFileList;
    if (block == nullptr) return kBad;
    json_object *elem = data_element(info, "### JSON_GET_ARRAY_MEMBER_BY_ID failed, para_json is null. ###");
    if (elem == nullptr) return kBad;
    auto *head = qv_reply::zalloc<share_file_list>("share_file_list != NULL");
    ring_init(&head->link);
    bool ok = need_i32(&head->count, elem, "count") && need_i32(&head->total, elem, "total") &&
              need_text(head->displayDir, elem, "displayDir");
    if (ok && head->count >= 1)
        ok =
            read_ring(&head->link, elem, "shareFileList", "share_file_info != NULL", read_share_file_element);
    if (!ok) {
        share_file_list_free(head);
        return kBad;
    }
    share_file_list_free(block->result);
    block->result = head;
    return 0;
}

int parser_QvmsgGetShareFileData(client_info *info, uint16_t code, int, const file_cmd_row *) {
    // 205 and 206 have blocks of their own; both start with the result slot.
    share_file_info **slot = nullptr;
    if (code == 206) {
        if (info->req.pGetShareFileAttr != nullptr) slot = &info->req.pGetShareFileAttr->result;
    } else if (info->req.pGetShareFileData != nullptr) {
        slot = &info->req.pGetShareFileData->result;
    }
    if (slot == nullptr) return kBad;
    json_object *elem = data_element(info, "### JSON_GET_OBJECT failed, para_json is null. ###");
    if (elem == nullptr) return kBad;
    auto *rec = qv_reply::zalloc<share_file_info>("share_file_info != NULL");
    bool ok;
    if (json_object *name = member(elem, "displayName")) {
        const char *text = qv_reply::text(name);
        if (text == nullptr)
            QV_LOG_ERROR("### JSON_GET_OBJECT_VALUE failed, name is null. ###");
        else
            qv_strlcpy(rec->displayName, text);
        ok = text != nullptr;
    } else {
        QV_LOG_ERROR("### JSON_GET_OBJECT_EX failed, dispalyNameJson is null. ###");
        ok = false;
    }
    ok = ok && need_u64(&rec->size, elem, "size") && need_i64(&rec->modifyTime, elem, "modifyTime") &&
         need_u64(&rec->dataSize, elem, "dataSize");
    if (!ok) {
        std::free(rec);
        return kBad;
    }
    // A lone record: its link is not in any ring.
    rec->link.next = rec->link.prev = nullptr;
    std::free(*slot);
    *slot = rec;
    return 0;
}
