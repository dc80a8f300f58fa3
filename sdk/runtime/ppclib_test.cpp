#include "runtime/ppclib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/qv_log.h"
#include "codec/file_list.h"

namespace {

struct Ctx {
    ppc_router_task *ctx = ppc_router_task_new();
    std::vector<client_file_task *> tasks;
    ~Ctx() {
        for (client_file_task *t : tasks) {
            ppc_task_list_remove(ctx, t);
            client_file_task_free(t);
        }
        ppc_router_task_free(ctx);
    }
    client_file_task *add(int64_t id, int32_t type) {
        client_file_task *t = client_file_task_new();
        t->id = id;
        t->task_type = type;
        tasks.push_back(t);
        EXPECT_EQ(ppc_task_list_add(ctx, t), 0);
        return t;
    }
    std::vector<int32_t> flags() const {
        std::vector<int32_t> out;
        for (const client_file_task *t : tasks) out.push_back(t->cancel_status.load());
        return out;
    }
};

}  // namespace

TEST(ServiceContext, NewContextHasAnEmptySelfLinkedTaskList) {
    Ctx c;
    ASSERT_NE(c.ctx, nullptr);
    EXPECT_EQ(c.ctx->task_list.next, ppc_task_end(&c.ctx->task_list));
    EXPECT_EQ(c.ctx->task_list.prev, ppc_task_end(&c.ctx->task_list));
    EXPECT_EQ(c.ctx->task_count, 0);
}

TEST(ServiceContext, TasksAreWalkedInTheOrderTheyEntered) {
    Ctx c;
    client_file_task *a = c.add(1, PPC_TASK_UPLOAD);
    client_file_task *b = c.add(2, PPC_TASK_DOWNLOAD);
    client_file_task *d = c.add(3, PPC_TASK_COPY);
    std::vector<client_file_task *> walk;
    for (client_file_task *t = c.ctx->task_list.next; t != ppc_task_end(&c.ctx->task_list); t = t->next)
        walk.push_back(t);
    EXPECT_EQ(walk, (std::vector<client_file_task *>{a, b, d}));
    EXPECT_EQ(c.ctx->task_count, 3);

    // Removing the middle one relinks its neighbours; removing it again is refused.
    EXPECT_EQ(ppc_task_list_remove(c.ctx, b), 0);
    EXPECT_EQ(a->next, d);
    EXPECT_EQ(d->prev, a);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(ppc_task_list_remove(c.ctx, b), -1);
    EXPECT_EQ(c.ctx->task_count, 2);
}

TEST(ServiceContext, CancelMarksByTypeBySeqOrAll) {
    qv::set_log_enabled(false);
    {
        Ctx c;
        c.add(7, PPC_TASK_DOWNLOAD);
        c.add(8, PPC_TASK_UPLOAD);
        c.add(9, PPC_TASK_DOWNLOAD);
        // By type and id: only that download; by type with id 0: every download.
        EXPECT_EQ(ppc_cancel_task(c.ctx, 1, PPC_TASK_DOWNLOAD, 9), 0);
        EXPECT_EQ(c.flags(), (std::vector<int32_t>{0, 0, -1}));
        EXPECT_EQ(ppc_cancel_task(c.ctx, 1, PPC_TASK_DOWNLOAD, 12345), 0);
        EXPECT_EQ(c.flags(), (std::vector<int32_t>{0, 0, -1}));
        EXPECT_EQ(ppc_cancel_task(c.ctx, 1, PPC_TASK_DOWNLOAD, 0), 0);
        EXPECT_EQ(c.flags(), (std::vector<int32_t>{-1, 0, -1}));
    }
    {
        Ctx c;
        c.add(7, PPC_TASK_DOWNLOAD);
        c.add(8, PPC_TASK_UPLOAD);
        c.add(8, PPC_TASK_DOWNLOAD);
        // By sequence number: the first task with that id and type, not the upload sharing the id.
        EXPECT_EQ(ppc_cancel_task(c.ctx, 0, PPC_TASK_DOWNLOAD, 8), 0);
        EXPECT_EQ(c.flags(), (std::vector<int32_t>{0, 0, -1}));
        // No match: nothing changes, still 0.
        EXPECT_EQ(ppc_cancel_task(c.ctx, 0, PPC_TASK_DOWNLOAD, 99), 0);
        EXPECT_EQ(c.flags(), (std::vector<int32_t>{0, 0, -1}));
    }
    {
        Ctx c;
        c.add(1, PPC_TASK_SEARCH);
        c.add(2, PPC_TASK_GPS_LIST);
        // Type 0: every task, flag and seq not looked at.
        EXPECT_EQ(ppc_cancel_task(c.ctx, 0, PPC_TASK_ALL, 55), 0);
        EXPECT_EQ(c.flags(), (std::vector<int32_t>{-1, -1}));
    }
    {
        Ctx empty;
        EXPECT_EQ(ppc_cancel_task(empty.ctx, 1, 0, 0), 0);
    }
    EXPECT_EQ(ppc_cancel_task(nullptr, 1, 0, 0), -1);
    qv::set_log_enabled(true);
}

// Cancels from other threads while tasks enter and leave (for the thread sanitizer build).
TEST(ServiceContext, CancelRacesWithEntryAndRemoval) {
    qv::set_log_enabled(false);
    ppc_router_task *ctx = ppc_router_task_new();
    std::thread canceller([ctx] {
        for (int i = 0; i < 2000; ++i) ppc_cancel_task(ctx, 0, PPC_TASK_UPLOAD, i % 50);
    });
    for (int i = 0; i < 2000; ++i) {
        client_file_task *t = client_file_task_new();
        t->id = i % 50;
        t->task_type = PPC_TASK_UPLOAD;
        ppc_task_list_add(ctx, t);
        ppc_task_list_remove(ctx, t);
        client_file_task_free(t);
    }
    canceller.join();
    EXPECT_EQ(ctx->task_count, 0);
    ppc_router_task_free(ctx);
    qv::set_log_enabled(true);
}

TEST(ServiceContext, ModuleSupportAnswersFromTheContextList) {
    qv::set_log_enabled(false);
    EXPECT_EQ(ppc_isModuleSupport(nullptr, 3), -1);
    ppc_set_current_context(nullptr);
    EXPECT_EQ(ppc_isModuleSupport(3), -1);
    qv::set_log_enabled(true);

    Ctx c;
    ASSERT_EQ(ppc_add_module_support_to_list(&c.ctx->module_support_list, 3, 1), 0);
    ASSERT_EQ(ppc_add_module_support_to_list(&c.ctx->module_support_list, 4, 0), 0);
    EXPECT_EQ(ppc_isModuleSupport(c.ctx, 3), 0);
    EXPECT_EQ(ppc_isModuleSupport(c.ctx, 4), -1);  // listed but status 0
    EXPECT_EQ(ppc_isModuleSupport(c.ctx, 8), -1);  // not listed

    ppc_set_current_context(c.ctx);
    EXPECT_EQ(ppc_current_context(), c.ctx);
    EXPECT_EQ(ppc_isModuleSupport(3), 0);
    EXPECT_EQ(ppc_isModuleSupport(4), -1);
    // Freeing the context clears the current pointer (the list goes with the context).
}

// Questions race a login that replaces the list and a logout that frees it (run under TSan and ASan).
TEST(ServiceContext, ModuleQuestionsRaceLoginAndLogout) {
    Ctx c;
    std::atomic<bool> stop{false};
    std::vector<std::thread> askers;
    std::atomic<long> supported{0};
    for (int i = 0; i < 3; ++i)
        askers.emplace_back([&] {
            while (!stop.load())
                if (ppc_isModuleSupport(c.ctx, 3) == 0) ++supported;
        });
    for (int round = 0; round < 2000; ++round) {
        module_support_dnode *list = nullptr;
        for (int type = 0; type < 9; ++type) ASSERT_EQ(ppc_add_module_support_to_list(&list, type, 1), 0);
        ppc_module_list_replace(c.ctx, list);              // login: the old list goes
        if (round % 2 == 0) ppc_module_list_clear(c.ctx);  // logout
    }
    stop = true;
    for (auto &t : askers) t.join();
    EXPECT_EQ(ppc_isModuleSupport(c.ctx, 3), 0);  // the last round left a list
    ppc_module_list_clear(c.ctx);
    qv::set_log_enabled(false);
    EXPECT_EQ(ppc_isModuleSupport(c.ctx, 3), -1);
    qv::set_log_enabled(true);
}

TEST(ServiceContext, FreeingTheCurrentContextClearsThePointer) {
    ppc_router_task *ctx = ppc_router_task_new();
    ppc_set_current_context(ctx);
    ppc_router_task_free(ctx);
    EXPECT_EQ(ppc_current_context(), nullptr);
}

TEST(BackupUuidList, FreeEmptiesTheRingAndKeepsTheCount) {
    ppc_free_backup_uuid_list(nullptr);  // nothing happens

    backup_uuid_head head;
    backup_uuid_init(&head);
    for (int i = 0; i < 3; ++i) {
        auto *n = static_cast<backup_uuid_dnode *>(std::calloc(1, sizeof(backup_uuid_dnode)));
        n->buffer = i == 1 ? nullptr : std::malloc(32);  // a node without a buffer too
        n->next = backup_uuid_end(&head);
        n->prev = head.prev;
        if (head.prev == backup_uuid_end(&head))
            head.next = n;
        else
            head.prev->next = n;
        head.prev = n;
        ++head.count;
    }
    ppc_free_backup_uuid_list(&head);
    EXPECT_EQ(head.next, backup_uuid_end(&head));
    EXPECT_EQ(head.prev, backup_uuid_end(&head));
    EXPECT_EQ(head.count, 3u);

    ppc_free_backup_uuid_list(&head);  // an empty ring stays empty
    EXPECT_EQ(head.next, backup_uuid_end(&head));
}
