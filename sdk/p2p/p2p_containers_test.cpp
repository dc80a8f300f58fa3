// Platform error codes, locks and the containers' edge cases.
#include "p2p/p2p_containers.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "p2p/p2p_platform.h"
#include "p2p/p2p_sktaskmgr.h"

namespace {

TEST(P2pErrors, EveryErrnoFollowsTheLinuxPositionRule) {
    for (int e = -5; e <= 200; ++e) {
        int k = -1;
        if (e >= 1 && e <= 40)
            k = e - 1;
        else if (e >= 42 && e <= 57)
            k = e - 2;
        else if (e >= 59 && e <= 124)
            k = e - 3;
        int want = k < 0 ? TERROR_UNKNOWN : -(0x01100100 + k);
        EXPECT_EQ(p2p_ErrnoToTError(e), want) << "errno " << e;
    }
}

TEST(P2pErrors, NamedCodesHaveTheirDocumentedValues) {
    struct Row {
        int err;
        int code;
    } rows[] = {{EPERM, -17826048},         {EAGAIN, -17826058},       {ENETUNREACH, -17826146},
                {ETIMEDOUT, -17826155},     {ECONNREFUSED, -17826156}, {EINPROGRESS, -17826160},
                {EINVAL, TERROR_EINVAL},    {ENOMEM, TERROR_ENOMEM},   {ENOBUFS, TERROR_ENOBUFS},
                {ECANCELED, TERROR_UNKNOWN}};
    for (const Row &r : rows) EXPECT_EQ(p2p_ErrnoToTError(r.err), r.code) << r.err;
    EXPECT_EQ(TERROR_ADDR_UNRESOLVED, -17826170);
    EXPECT_EQ(TERROR_TOO_MANY, -17826171);
    EXPECT_EQ(TERROR_BAD_STATE, -17826172);
    EXPECT_EQ(TERROR_UNKNOWN, -17826173);
    EXPECT_EQ((unsigned)TERROR_ELNRNG, 0xFEEFFED2u);
    EXPECT_STREQ(p2p_ErrorName(0), "TERROR_OK");
    EXPECT_STREQ(p2p_ErrorName(TERROR_EINVAL), "P2P ERROR");
}

TEST(P2pLocks, MutexIsRecursiveAndRefusesUseAfterDestroy) {
    p2p_Mutex m{};
    EXPECT_EQ(p2p_Mutex_Lock(&m, 1), -1);  // never initialised
    ASSERT_EQ(p2p_Mutex_Init(&m, "test"), 0);
    EXPECT_STREQ(m.name, "test");
    EXPECT_EQ(p2p_Mutex_Lock(&m, 1), 0);
    EXPECT_EQ(p2p_Mutex_Lock(&m, 0), 0);
    EXPECT_EQ(p2p_Mutex_Unlock(&m), 0);
    EXPECT_EQ(p2p_Mutex_Unlock(&m), 0);
    p2p_Mutex_Destroy(&m);
    EXPECT_EQ(p2p_Mutex_Lock(&m, 1), -1);
    EXPECT_EQ(p2p_Mutex_Unlock(&m), -1);
}

TEST(P2pLocks, TimedWaitDeadlineCarriesIntoSeconds) {
    // 1,500 ms from 12:00:00.700 is 12:00:02.200.
    timespec now{43200, 700000000L};
    timespec d = p2p_Deadline(now, 1500);
    EXPECT_EQ(d.tv_sec, 43202);
    EXPECT_EQ(d.tv_nsec, 200000000L);
    p2p_CondLock c;
    ASSERT_EQ(p2p_CondLock_Init(&c), 0);
    p2p_CondLock_Lock(&c);
    p2p_CondLock_TimedWait(&c, 5);
    p2p_CondLock_Unlock(&c);
    EXPECT_EQ(p2p_CondLock_Destroy(&c), 0);
}

std::string ringBytes(p2p_RingBuf *rb) {
    std::string s(p2p_RingBuf_Length(rb), '\0');
    p2p_RingBuf_Peek(rb, s.data(), s.size());
    return s;
}

TEST(P2pRingBuf, EdgeCases) {
    struct Case {
        const char *name;
        void (*run)(p2p_RingBuf *rb);
    } cases[] = {
        {"capacity 0 gives 16, 20 bytes grow it to 32",
         [](p2p_RingBuf *rb) {
             EXPECT_EQ(p2p_RingBuf_Capacity(rb), 16u);
             EXPECT_EQ(p2p_RingBuf_Write(rb, "abcdefghijklmnopqrst", 20), 0);
             EXPECT_EQ(p2p_RingBuf_Capacity(rb), 32u);
             EXPECT_EQ(ringBytes(rb), "abcdefghijklmnopqrst");
         }},
        {"a write across the end wraps to the front and growth keeps the order",
         [](p2p_RingBuf *rb) {
             p2p_RingBuf_Write(rb, "............xy", 14);
             p2p_RingBuf_Consume(rb, 12);  // start 12, length 2
             EXPECT_EQ(rb->start, 12);
             p2p_RingBuf_Write(rb, "0123456789", 10);
             EXPECT_EQ(p2p_RingBuf_Capacity(rb), 16u);
             EXPECT_EQ(ringBytes(rb), "xy0123456789");
             p2p_RingBuf_Write(rb, "ABCDEFGH", 8);  // 20 bytes: grows while wrapped
             EXPECT_EQ(p2p_RingBuf_Capacity(rb), 32u);
             EXPECT_EQ(ringBytes(rb), "xy0123456789ABCDEFGH");
         }},
        {"consuming everything resets the start",
         [](p2p_RingBuf *rb) {
             p2p_RingBuf_Write(rb, "abc", 3);
             p2p_RingBuf_Consume(rb, 100);
             EXPECT_EQ(p2p_RingBuf_Length(rb), 0u);
             EXPECT_EQ(rb->start, 0);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        p2p_RingBuf rb;
        ASSERT_NE(p2p_RingBuf_Init(&rb, 0), 0);
        c.run(&rb);
        p2p_RingBuf_Destroy(&rb);
        EXPECT_EQ(rb.storage, nullptr);
    }
}

TEST(P2pRingBuf, SendToStopsAfterAShortFirstSend) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 1;  // the kernel's minimum; the first send fills it
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    p2p_RingBuf rb;
    p2p_RingBuf_Init(&rb, 1 << 20);
    std::string big(600000, 'a');
    p2p_RingBuf_Write(&rb, big.data(), big.size());
    p2p_RingBuf_Consume(&rb, 500000);
    std::string tail(500000, 'b');
    p2p_RingBuf_Write(&rb, tail.data(), tail.size());  // wraps: 100,000 at the end, the rest at the front
    ASSERT_GT((uint64_t)rb.start + rb.length, rb.capacity);
    // Non-blocking so a full socket gives a short send rather than a wait.
    ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
    int64_t sent = p2p_RingBuf_SendTo(&rb, sv[0]);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 100000);
    EXPECT_EQ(p2p_RingBuf_Length(&rb), 600000u - (uint64_t)sent);
    p2p_RingBuf_Destroy(&rb);
    close(sv[0]);
    close(sv[1]);
}

struct ListFixture {
    p2p_List *l = p2p_List_New();
    int v[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    ~ListFixture() { p2p_List_Free(l); }
    void fill(int n) {
        for (int i = 0; i < n; ++i) p2p_List_PushBack(l, &v[i]);
    }
    std::vector<int> values() const {
        std::vector<int> out;
        for (p2p_ListNode *n = p2p_List_Head(l); n; n = n->next) out.push_back(*static_cast<int *>(n->data));
        return out;
    }
};

TEST(P2pList, EdgeCases) {
    struct Case {
        const char *name;
        int fill;
        int (*op)(ListFixture &f);
        int result;
        std::vector<int> after;
    } cases[] = {
        {"insert at 3 on 3 nodes is past the end",
         3,
         [](ListFixture &f) { return p2p_List_InsertAt(f.l, &f.v[7], 3); },
         TERROR_ELNRNG,
         {0, 1, 2}},
        {"insert at 3 on 4 nodes becomes the fourth",
         4,
         [](ListFixture &f) { return p2p_List_InsertAt(f.l, &f.v[7], 3); },
         0,
         {0, 1, 2, 7, 3}},
        {"insert at 0 pushes front",
         2,
         [](ListFixture &f) { return p2p_List_InsertAt(f.l, &f.v[7], 0); },
         0,
         {7, 0, 1}},
        {"remove data not in the list",
         2,
         [](ListFixture &f) { return p2p_List_RemoveData(f.l, &f.v[5]); },
         TERROR_ENOENT,
         {0, 1}},
        {"remove the middle data",
         3,
         [](ListFixture &f) { return p2p_List_RemoveData(f.l, &f.v[1]); },
         0,
         {0, 2}},
        {"remove the tail node",
         3,
         [](ListFixture &f) { return p2p_List_Remove(f.l, p2p_List_Tail(f.l)); },
         0,
         {0, 1}},
        {"no list", 0, [](ListFixture &) { return p2p_List_PushBack(nullptr, nullptr); }, TERROR_EINVAL, {}},
        {"for-each without a function",
         1,
         [](ListFixture &f) { return p2p_List_ForEach(f.l, nullptr, nullptr); },
         TERROR_EINVAL,
         {0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ListFixture f;
        f.fill(c.fill);
        EXPECT_EQ(c.op(f), c.result);
        EXPECT_EQ(f.values(), c.after);
        EXPECT_EQ(p2p_List_Count(f.l), (int)c.after.size());
        if (!c.after.empty()) {
            EXPECT_EQ(*static_cast<int *>(p2p_List_Tail(f.l)->data), c.after.back());
        }
    }
}

struct QRec {
    p2p_QueueLink link;
    int v;
};

TEST(P2pQueue, FirstInFirstOutWithTimestamps) {
    p2p_Queue q;
    ASSERT_EQ(p2p_Queue_Init(&q, "q"), 0);
    for (int i = 0; i < 3; ++i) {
        auto *r = static_cast<QRec *>(calloc(1, sizeof(QRec)));
        r->v = i;
        p2p_Queue_Push(&q, &r->link);
        EXPECT_GT(r->link.enqueueUs, 0u);
    }
    EXPECT_EQ(q.count, 3);
    p2p_QueueLink *out = nullptr;
    p2p_Queue_Pop(&q, &out);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(reinterpret_cast<QRec *>(out)->v, 0);
    free(out);
    p2p_Queue_Pop(&q, &out);
    EXPECT_EQ(reinterpret_cast<QRec *>(out)->v, 1);
    free(out);
    EXPECT_EQ(q.count, 1);
    p2p_Queue_Destroy(&q);  // frees the last record
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.head, nullptr);
}

TEST(P2pTaskList, RemoveKindKeepsTheOthersInOrder) {
    p2p_TaskList list{};
    p2p_TimerTask *t[4];
    int kinds[4] = {2, 7, 2, 5};
    auto noop = [](p2p_TimerTask *, uint32_t, uint16_t, void *, int) {};
    for (int i = 0; i < 4; ++i) {
        t[i] = p2p_SockTaskMng_AddTimer(1000, 0, 0, noop, nullptr);
        p2p_TaskList_Add(&list, kinds[i], t[i]);
    }
    EXPECT_EQ(p2p_TaskList_RemoveKind(&list, 2), 0);
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(list.head->kind, 7);
    ASSERT_NE(list.head->next, nullptr);
    EXPECT_EQ(list.head->next->kind, 5);
    EXPECT_EQ(list.tail, list.head->next);
    // The removed kinds' tasks are retired; the kept ones are live.
    EXPECT_EQ(p2p_SockTaskMng_RemoveTimer(t[0]), 0);
    EXPECT_EQ(p2p_SockTaskMng_RemoveTimer(t[2]), 0);
    EXPECT_EQ(p2p_TaskList_Remove(&list, t[3], 0), 0);
    EXPECT_EQ(p2p_SockTaskMng_RemoveTimer(t[3]), 1);
    p2p_TaskList_Clear(&list);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(p2p_SockTaskMng_RemoveTimer(t[1]), 0);
    p2p_SockTaskMng_DeInit();
}

struct KeyRec {
    int32_t key;
    int32_t payload;
};

int collectVisit(p2p_TreeNode *n, void *arg) {
    static_cast<std::vector<KeyRec *> *>(arg)->push_back(static_cast<KeyRec *>(n->record));
    return 0;
}

// In-order keys, and a check that every node sits within its ancestors' bounds.
bool validTree(p2p_TreeNode *n, int64_t lo, int64_t hi, std::vector<int32_t> &inorder) {
    if (!n) return true;
    int32_t k = static_cast<KeyRec *>(n->record)->key;
    if (k <= lo || k >= hi) return false;
    return validTree(n->left, lo, k, inorder) && (inorder.push_back(k), true) &&
           validTree(n->right, k, hi, inorder);
}

int32_t g_deleteKey;
int deleteKeyPred(void *r) {
    return static_cast<KeyRec *>(r)->key == g_deleteKey;
}

TEST(P2pTree, MatchesStdMapOverSeededInsertsAndDeletes) {
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<int32_t> keyDist(-5000, 5000);
    std::map<int32_t, int32_t> model;
    p2p_Tree root = nullptr;
    for (int step = 0; step < 10000; ++step) {
        int32_t key = keyDist(rng);
        if (rng() % 3 != 0) {
            auto *r = static_cast<KeyRec *>(malloc(sizeof(KeyRec)));
            r->key = key;
            r->payload = step;
            p2p_TreeNode *n = p2p_Tree_Insert(&root, p2p_Tree_CompareKey, r);
            ASSERT_NE(n, nullptr);
            if (n->record != r) free(r);  // an existing key keeps its first record
            model.emplace(key, step);
        } else {
            p2p_TreeNode **link = p2p_Tree_Find(&root, p2p_Tree_CompareKey, &key);
            bool present = model.erase(key) > 0;
            ASSERT_EQ(*link != nullptr, present) << key;
            if (present) {
                if (step % 2) {
                    void *rec = (*link)->record;
                    p2p_Tree_DeleteNode(link);
                    free(rec);
                } else {
                    g_deleteKey = key;
                    ASSERT_EQ(p2p_Tree_DeleteIf(&root, deleteKeyPred), 1);
                }
            }
        }
        if (step % 500 == 0 || step == 9999) {
            std::vector<int32_t> inorder;
            ASSERT_TRUE(validTree(root, INT64_MIN, INT64_MAX, inorder)) << "step " << step;
            std::vector<int32_t> want;
            for (auto &kv : model) want.push_back(kv.first);
            ASSERT_EQ(inorder, want) << "step " << step;
            for (auto &kv : model) {
                p2p_TreeNode **l = p2p_Tree_Find(&root, p2p_Tree_CompareKey, &kv.first);
                ASSERT_NE(*l, nullptr);
                EXPECT_EQ(static_cast<KeyRec *>((*l)->record)->payload, kv.second);
            }
        }
    }
    std::vector<KeyRec *> all;
    EXPECT_EQ(p2p_Tree_Walk(root, collectVisit, &all), 0);
    EXPECT_EQ(all.size(), model.size());
    EXPECT_EQ(p2p_Tree_DeleteIf(&root, [](void *) { return 1; }), (int)model.size());
    EXPECT_EQ(root, nullptr);
}

TEST(P2pTree, WalkIsPreOrderAndANegativeVisitPrunes) {
    p2p_Tree root = nullptr;
    KeyRec recs[] = {{50, 0}, {30, 0}, {70, 0}, {20, 0}, {40, 0}, {60, 0}};
    for (KeyRec &r : recs) p2p_Tree_Insert(&root, p2p_Tree_CompareKey, &r);
    std::vector<int32_t> order;
    auto visit = [](p2p_TreeNode *n, void *arg) {
        int32_t k = static_cast<KeyRec *>(n->record)->key;
        static_cast<std::vector<int32_t> *>(arg)->push_back(k);
        return k == 30 ? -1 : (k > 50 ? 1 : 0);
    };
    EXPECT_EQ(p2p_Tree_Walk(root, visit, &order), 3);  // 30 (pruned), 70, 60
    EXPECT_EQ(order, (std::vector<int32_t>{50, 30, 70, 60}));
    // Deleting the root, which has two children, keeps a valid search tree.
    p2p_Tree_DeleteNode(&root);
    std::vector<int32_t> inorder;
    EXPECT_TRUE(validTree(root, INT64_MIN, INT64_MAX, inorder));
    EXPECT_EQ(inorder, (std::vector<int32_t>{20, 30, 40, 60, 70}));
    EXPECT_EQ(static_cast<KeyRec *>(root->record)->key, 40);
    while (root) p2p_Tree_DeleteNode(&root);
    EXPECT_EQ(p2p_Gcd(20, 50), 10u);
    EXPECT_EQ(p2p_Gcd(0, 7), 7u);
}

}  // namespace
