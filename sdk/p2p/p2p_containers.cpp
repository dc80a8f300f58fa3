// Ring buffer, list, queue, task lists and tree of the peer-to-peer library.
#include "p2p/p2p_containers.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "p2p/p2p_sktaskmgr.h"

namespace {

struct RingGuard {
    explicit RingGuard(p2p_RingBuf *rb) : m(&rb->lock) { pthread_mutex_lock(m); }
    ~RingGuard() { pthread_mutex_unlock(m); }
    pthread_mutex_t *m;
};

void initRecursive(pthread_mutex_t *m) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

}  // namespace

int p2p_RingBuf_Init(p2p_RingBuf *rb, uint64_t capacity) {
    rb->length = 0;
    rb->capacity = capacity < 16 ? 16 : capacity;
    rb->storage = static_cast<uint8_t *>(malloc(rb->capacity));
    rb->start = 0;
    initRecursive(&rb->lock);
    return rb->storage != nullptr;
}

void p2p_RingBuf_Destroy(p2p_RingBuf *rb) {
    pthread_mutex_lock(&rb->lock);
    free(rb->storage);
    rb->storage = nullptr;
    rb->length = 0;
    pthread_mutex_unlock(&rb->lock);
    pthread_mutex_destroy(&rb->lock);
}

void p2p_RingBuf_Reset(p2p_RingBuf *rb) {
    RingGuard g(rb);
    rb->length = 0;
    rb->start = 0;
}

uint64_t p2p_RingBuf_Length(const p2p_RingBuf *rb) {
    return rb->length;
}
uint64_t p2p_RingBuf_Capacity(const p2p_RingBuf *rb) {
    return rb->capacity;
}

int p2p_RingBuf_Reserve(p2p_RingBuf *rb, uint64_t needed) {
    RingGuard g(rb);
    if (!rb->storage) return -1;
    if (needed <= rb->capacity) return 0;
    uint64_t cap = rb->capacity;
    while (cap < needed) cap *= 2;
    auto *grown = static_cast<uint8_t *>(realloc(rb->storage, cap));
    if (!grown) return 1;
    uint64_t old = rb->capacity;
    if ((uint64_t)rb->start + rb->length > old) {
        // The held bytes wrap: move the part from start to the old end to the end of the new storage.
        uint64_t grow = cap - old;
        memmove(grown + rb->start + grow, grown + rb->start, old - rb->start);
        rb->start = (int32_t)(rb->start + grow);
    }
    rb->storage = grown;
    rb->capacity = cap;
    return 0;
}

int p2p_RingBuf_Write(p2p_RingBuf *rb, const void *bytes, uint64_t n) {
    RingGuard g(rb);
    if (!rb->storage) return -1;
    if (p2p_RingBuf_Reserve(rb, rb->length + n) != 0) return 1;
    uint64_t at = (rb->start + rb->length) % rb->capacity;
    uint64_t first = n < rb->capacity - at ? n : rb->capacity - at;
    memcpy(rb->storage + at, bytes, first);
    memcpy(rb->storage, static_cast<const uint8_t *>(bytes) + first, n - first);
    rb->length += n;
    return 0;
}

void p2p_RingBuf_Consume(p2p_RingBuf *rb, uint64_t n) {
    RingGuard g(rb);
    uint64_t drop = n < rb->length ? n : rb->length;
    if (rb->capacity) rb->start = (int32_t)((rb->start + drop) % rb->capacity);
    rb->length -= drop;
    if (rb->length == 0) rb->start = 0;
}

uint64_t p2p_RingBuf_Peek(p2p_RingBuf *rb, void *out, uint64_t n) {
    RingGuard g(rb);
    if (!rb->storage) return 0;
    uint64_t take = n < rb->length ? n : rb->length;
    uint64_t first = take < rb->capacity - rb->start ? take : rb->capacity - rb->start;
    memcpy(out, rb->storage + rb->start, first);
    memcpy(static_cast<uint8_t *>(out) + first, rb->storage, take - first);
    return take;
}

int64_t p2p_RingBuf_SendTo(p2p_RingBuf *rb, int sock) {
    RingGuard g(rb);
    if (!rb->storage) return -1;
    if (rb->length == 0) return 0;
    if ((uint64_t)rb->start + rb->length > rb->capacity) {
        uint64_t first = rb->capacity - rb->start;
        ssize_t s = send(sock, rb->storage + rb->start, first, MSG_NOSIGNAL);
        if (s < 0) return -1;
        p2p_RingBuf_Consume(rb, (uint64_t)s);
        if ((uint64_t)s < first) return s;
        ssize_t s2 = send(sock, rb->storage, rb->length, MSG_NOSIGNAL);
        if (s2 <= 0) return s;
        p2p_RingBuf_Consume(rb, (uint64_t)s2);
        return s + s2;
    }
    ssize_t s = send(sock, rb->storage + rb->start, rb->length, MSG_NOSIGNAL);
    if (s < 0) return -1;
    p2p_RingBuf_Consume(rb, (uint64_t)s);
    return s;
}

// ---- list

p2p_List *p2p_List_New(void) {
    return static_cast<p2p_List *>(calloc(1, sizeof(p2p_List)));
}

static p2p_ListNode *newNode(void *data) {
    auto *n = static_cast<p2p_ListNode *>(calloc(1, sizeof(p2p_ListNode)));
    if (n) n->data = data;
    return n;
}

int p2p_List_PushBack(p2p_List *list, void *data) {
    if (!list) return TERROR_EINVAL;
    p2p_ListNode *n = newNode(data);
    if (!n) return TERROR_ENOMEM;
    n->prev = list->tail;
    if (list->tail)
        list->tail->next = n;
    else
        list->head = n;
    list->tail = n;
    list->count++;
    return 0;
}

int p2p_List_PushFront(p2p_List *list, void *data) {
    if (!list) return TERROR_EINVAL;
    p2p_ListNode *n = newNode(data);
    if (!n) return TERROR_ENOMEM;
    n->next = list->head;
    if (list->head)
        list->head->prev = n;
    else
        list->tail = n;
    list->head = n;
    list->count++;
    return 0;
}

int p2p_List_InsertAt(p2p_List *list, void *data, int32_t n) {
    if (!list || n < 0) return TERROR_EINVAL;
    if (n == 0) return p2p_List_PushFront(list, data);
    if (list->count <= n) return TERROR_ELNRNG;
    p2p_ListNode *at = p2p_List_Nth(list, n);
    p2p_ListNode *node = newNode(data);
    if (!node) return TERROR_ENOMEM;
    node->next = at;
    node->prev = at->prev;
    at->prev->next = node;
    at->prev = node;
    list->count++;
    return 0;
}

int p2p_List_Remove(p2p_List *list, p2p_ListNode *node) {
    if (!list || !node) return TERROR_EINVAL;
    if (node->prev)
        node->prev->next = node->next;
    else
        list->head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        list->tail = node->prev;
    list->count--;
    free(node);
    return 0;
}

int p2p_List_RemoveData(p2p_List *list, void *data) {
    if (!list) return TERROR_EINVAL;
    p2p_ListNode *n = p2p_List_Find(list, data);
    if (!n) return TERROR_ENOENT;
    return p2p_List_Remove(list, n);
}

int32_t p2p_List_Count(const p2p_List *list) {
    return list ? list->count : 0;
}
p2p_ListNode *p2p_List_Head(const p2p_List *list) {
    return list ? list->head : nullptr;
}
p2p_ListNode *p2p_List_Tail(const p2p_List *list) {
    return list ? list->tail : nullptr;
}

p2p_ListNode *p2p_List_Find(const p2p_List *list, const void *data) {
    for (p2p_ListNode *n = p2p_List_Head(list); n; n = n->next)
        if (n->data == data) return n;
    return nullptr;
}

p2p_ListNode *p2p_List_Nth(const p2p_List *list, int32_t n) {
    p2p_ListNode *node = p2p_List_Head(list);
    for (int32_t i = 0; node && i < n; ++i) node = node->next;
    return n < 0 ? nullptr : node;
}

int p2p_List_ForEach(p2p_List *list, void (*fn)(void *, void *), void *arg) {
    if (!list || !fn) return TERROR_EINVAL;
    for (p2p_ListNode *n = list->head; n;) {
        p2p_ListNode *next = n->next;
        fn(n->data, arg);
        n = next;
    }
    return 0;
}

void p2p_List_Clear(p2p_List *list) {
    if (!list) return;
    for (p2p_ListNode *n = list->head; n;) {
        p2p_ListNode *next = n->next;
        free(n);
        n = next;
    }
    list->head = list->tail = nullptr;
    list->count = 0;
}

void p2p_List_Free(p2p_List *list) {
    p2p_List_Clear(list);
    free(list);
}

// ---- queue

int p2p_Queue_Init(p2p_Queue *q, const char *name) {
    if (!q) return TERROR_EINVAL;
    memset(q, 0, sizeof *q);
    return p2p_Mutex_Init(&q->lock, name);
}

int p2p_Queue_Push(p2p_Queue *q, p2p_QueueLink *r) {
    if (!q || !r) return TERROR_EINVAL;
    uint64_t now = 0;
    p2p_Time_GetUs(&now);
    r->enqueueUs = now;
    p2p_Mutex_Lock(&q->lock, 1);
    if (!q->head) {
        r->next = r->prev = r;
        q->head = r;
    } else {
        p2p_QueueLink *tail = q->head->prev;
        r->prev = tail;
        r->next = q->head;
        tail->next = r;
        q->head->prev = r;
    }
    q->count++;
    p2p_Mutex_Unlock(&q->lock);
    return 0;
}

int p2p_Queue_Pop(p2p_Queue *q, p2p_QueueLink **out) {
    if (!q || !out) return TERROR_EINVAL;
    p2p_Mutex_Lock(&q->lock, 1);
    p2p_QueueLink *h = q->head;
    if (h) {
        if (h->next == h) {
            q->head = nullptr;
        } else {
            p2p_QueueLink *tail = h->prev;
            q->head = h->next;
            q->head->prev = tail;
            tail->next = q->head;
        }
        h->next = h->prev = nullptr;
        q->count--;
    }
    p2p_Mutex_Unlock(&q->lock);
    *out = h;
    return 0;
}

int p2p_Queue_Destroy(p2p_Queue *q) {
    if (!q) return TERROR_EINVAL;
    p2p_QueueLink *r = nullptr;
    while (p2p_Queue_Pop(q, &r) == 0 && r) free(r);
    p2p_Mutex_Destroy(&q->lock);
    memset(q, 0, sizeof *q);
    return 0;
}

// ---- task lists: one lock for all of them; timer tasks are removed after it is released.

static p2p_Mutex g_taskListLock = P2P_MUTEX_STATIC("p2p_tasklist");

int p2p_TaskList_Add(p2p_TaskList *list, int32_t kind, p2p_TimerTask *task) {
    if (!list) return TERROR_EINVAL;
    auto *n = static_cast<p2p_TaskNode *>(calloc(1, sizeof(p2p_TaskNode)));
    if (!n) return TERROR_ENOMEM;
    n->task = task;
    n->kind = kind;
    p2p_Mutex_Lock(&g_taskListLock, 1);
    if (list->tail)
        list->tail->next = n;
    else
        list->head = n;
    list->tail = n;
    p2p_Mutex_Unlock(&g_taskListLock);
    return 0;
}

// Unlinks the entries that match under the lock; returns them as a chain.
template <typename Match>
static p2p_TaskNode *unlinkIf(p2p_TaskList *list, Match match, bool firstOnly) {
    p2p_TaskNode *taken = nullptr, **takenTail = &taken;
    p2p_Mutex_Lock(&g_taskListLock, 1);
    p2p_TaskNode **link = &list->head;
    p2p_TaskNode *prev = nullptr;
    while (*link) {
        p2p_TaskNode *n = *link;
        if (match(n)) {
            *link = n->next;
            if (list->tail == n) list->tail = prev;
            n->next = nullptr;
            *takenTail = n;
            takenTail = &n->next;
            if (firstOnly) break;
        } else {
            prev = n;
            link = &n->next;
        }
    }
    p2p_Mutex_Unlock(&g_taskListLock);
    return taken;
}

static void finish(p2p_TaskNode *chain, bool stop) {
    while (chain) {
        p2p_TaskNode *next = chain->next;
        if (stop && chain->task) p2p_SockTaskMng_RemoveTimer(chain->task);
        free(chain);
        chain = next;
    }
}

int p2p_TaskList_RemoveKind(p2p_TaskList *list, int32_t kind) {
    if (!list) return TERROR_EINVAL;
    finish(unlinkIf(
               list, [kind](p2p_TaskNode *n) { return n->kind == kind; }, false),
           true);
    return 0;
}

int p2p_TaskList_Remove(p2p_TaskList *list, p2p_TimerTask *task, int stop) {
    if (!list) return TERROR_EINVAL;
    p2p_TaskNode *n = unlinkIf(
        list, [task](p2p_TaskNode *x) { return x->task == task; }, true);
    if (!n) return TERROR_ENOENT;
    finish(n, stop != 0);
    return 0;
}

int p2p_TaskList_Clear(p2p_TaskList *list) {
    if (!list) return TERROR_EINVAL;
    finish(unlinkIf(
               list, [](p2p_TaskNode *) { return true; }, false),
           true);
    return 0;
}

// ---- tree

int p2p_Tree_CompareKey(const void *key, const void *record) {
    int32_t a, b;
    memcpy(&a, key, 4);
    memcpy(&b, record, 4);
    return a < b ? -1 : a > b ? 1 : 0;
}

p2p_TreeNode **p2p_Tree_Find(p2p_Tree *root, p2p_TreeCompare cmp, const void *key) {
    p2p_TreeNode **link = root;
    while (*link) {
        int c = cmp(key, (*link)->record);
        if (c == 0) break;
        link = c < 0 ? &(*link)->left : &(*link)->right;
    }
    return link;
}

p2p_TreeNode *p2p_Tree_Insert(p2p_Tree *root, p2p_TreeCompare cmp, void *record) {
    p2p_TreeNode **link = p2p_Tree_Find(root, cmp, record);
    if (*link) return *link;
    auto *n = static_cast<p2p_TreeNode *>(calloc(1, sizeof(p2p_TreeNode)));
    if (!n) return nullptr;
    n->record = record;
    *link = n;
    return n;
}

void p2p_Tree_DeleteNode(p2p_TreeNode **link) {
    p2p_TreeNode *n = *link;
    if (!n) return;
    if (n->left && n->right) {
        // Take the in-order predecessor's record and delete that node instead.
        p2p_TreeNode **pl = &n->left;
        while ((*pl)->right) pl = &(*pl)->right;
        n->record = (*pl)->record;
        link = pl;
        n = *pl;
    }
    *link = n->left ? n->left : n->right;
    free(n);
}

int p2p_Tree_Walk(p2p_TreeNode *root, int (*visit)(p2p_TreeNode *, void *), void *arg) {
    if (!root) return 0;
    int r = visit(root, arg);
    if (r < 0) return 1;
    return (r != 0) + p2p_Tree_Walk(root->left, visit, arg) + p2p_Tree_Walk(root->right, visit, arg);
}

static int deleteIf(p2p_TreeNode **link, int (*pred)(void *)) {
    if (!*link) return 0;
    int n = deleteIf(&(*link)->left, pred) + deleteIf(&(*link)->right, pred);
    if (pred((*link)->record)) {
        free((*link)->record);
        p2p_Tree_DeleteNode(link);
        // A node replaced by its only child: the child was already visited.
        ++n;
    }
    return n;
}

int p2p_Tree_DeleteIf(p2p_Tree *root, int (*pred)(void *)) {
    return deleteIf(root, pred);
}

uint32_t p2p_Gcd(uint32_t a, uint32_t b) {
    while (b) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}
