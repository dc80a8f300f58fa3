#include "base/file_types.h"

#include <cstdlib>

void ppc_free_backup_uuid_list(backup_uuid_head *head) {
    if (head == nullptr) return;
    backup_uuid_dnode *end = backup_uuid_end(head);
    backup_uuid_dnode *node = head->next;
    // A head that was never linked (both links null) holds nothing.
    while (node != nullptr && node != end) {
        backup_uuid_dnode *next = node->next;
        std::free(node->buffer);
        std::free(node);
        node = next;
    }
    head->next = head->prev = end;  // `count` stays as it was
}
