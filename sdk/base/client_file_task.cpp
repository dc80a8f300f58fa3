#include "base/client_file_task.h"

#include <cstdlib>
#include <new>

client_file_task *client_file_task_new() {
    auto *t = new (std::nothrow) client_file_task{};
    if (t) t->fd = -1;
    return t;
}

void client_file_task_free(client_file_task *task) {
    if (!task) return;
    std::free(task->reserved);
    std::free(task->usb_value);
    std::free(task->userdb_value);
    std::free(task->recentdb_value);
    delete task;
}
