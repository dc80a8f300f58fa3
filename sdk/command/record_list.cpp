#include "command/record_list.h"

#include <cstdlib>

#include "link/qv_log.h"

int add_record_to_list(record_dnode **head, int32_t index, int64_t start, int64_t end) {
    auto *node = head != nullptr ? static_cast<record_dnode *>(std::calloc(1, sizeof(record_dnode))) : nullptr;
    if (node == nullptr) {
        QV_LOG_DEBUG("add record error");
        return -1;
    }
    node->index = index;
    node->start = start;
    node->end = end;
    node->next = *head;
    *head = node;
    return 0;
}

int destory_record_list(record_dnode *list) {
    if (list == nullptr) return -1;
    while (list != nullptr) {
        record_dnode *next = list->next;
        std::free(list);
        list = next;
    }
    QV_LOG_DEBUG("free succ");
    return 0;
}
