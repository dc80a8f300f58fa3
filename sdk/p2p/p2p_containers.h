// Containers of the peer-to-peer library: a growable byte ring, a counted list of data pointers, an intrusive
// locked queue, per-session timer-task lists and an unbalanced binary search tree keyed by a record's first
// int32.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "p2p/p2p_platform.h"

struct p2p_RingBuf {
    uint64_t length;
    uint64_t capacity;
    uint8_t *storage;
    int32_t start;
    pthread_mutex_t lock;
};
int p2p_RingBuf_Init(p2p_RingBuf *rb, uint64_t capacity);  // nonzero when the storage was allocated
void p2p_RingBuf_Destroy(p2p_RingBuf *rb);
void p2p_RingBuf_Reset(p2p_RingBuf *rb);
uint64_t p2p_RingBuf_Length(const p2p_RingBuf *rb);
uint64_t p2p_RingBuf_Capacity(const p2p_RingBuf *rb);
int p2p_RingBuf_Reserve(p2p_RingBuf *rb, uint64_t needed);
int p2p_RingBuf_Write(p2p_RingBuf *rb, const void *bytes, uint64_t n);
void p2p_RingBuf_Consume(p2p_RingBuf *rb, uint64_t n);
// Copies up to n held bytes from the front without consuming them; returns the count.
uint64_t p2p_RingBuf_Peek(p2p_RingBuf *rb, void *out, uint64_t n);
int64_t p2p_RingBuf_SendTo(p2p_RingBuf *rb, int sock);

struct p2p_ListNode {
    void *data;
    p2p_ListNode *next;
    p2p_ListNode *prev;
};
struct p2p_List {
    p2p_ListNode *head;
    p2p_ListNode *tail;
    int32_t count;
};
p2p_List *p2p_List_New(void);
int p2p_List_PushBack(p2p_List *list, void *data);
int p2p_List_PushFront(p2p_List *list, void *data);
int p2p_List_InsertAt(p2p_List *list, void *data, int32_t n);
int p2p_List_Remove(p2p_List *list, p2p_ListNode *node);
int p2p_List_RemoveData(p2p_List *list, void *data);
int32_t p2p_List_Count(const p2p_List *list);
p2p_ListNode *p2p_List_Head(const p2p_List *list);
p2p_ListNode *p2p_List_Tail(const p2p_List *list);
p2p_ListNode *p2p_List_Find(const p2p_List *list, const void *data);
p2p_ListNode *p2p_List_Nth(const p2p_List *list, int32_t n);
int p2p_List_ForEach(p2p_List *list, void (*fn)(void *data, void *arg), void *arg);
void p2p_List_Clear(p2p_List *list);
void p2p_List_Free(p2p_List *list);

// Queued records begin with this link block.
struct p2p_QueueLink {
    uint64_t enqueueUs;
    p2p_QueueLink *next;
    p2p_QueueLink *prev;
};
struct p2p_Queue {
    p2p_Mutex lock;
    p2p_QueueLink *head;
    int32_t count;
};
int p2p_Queue_Init(p2p_Queue *q, const char *name);
int p2p_Queue_Push(p2p_Queue *q, p2p_QueueLink *record);
int p2p_Queue_Pop(p2p_Queue *q, p2p_QueueLink **record);
// Frees every queued record with free() (records come from malloc), destroys the lock, zeroes the queue.
int p2p_Queue_Destroy(p2p_Queue *q);

struct p2p_TimerTask;
struct p2p_TaskNode {
    p2p_TimerTask *task;
    int32_t kind;
    p2p_TaskNode *next;
};
struct p2p_TaskList {
    p2p_TaskNode *head;
    p2p_TaskNode *tail;
};
int p2p_TaskList_Add(p2p_TaskList *list, int32_t kind, p2p_TimerTask *task);
int p2p_TaskList_RemoveKind(p2p_TaskList *list, int32_t kind);
int p2p_TaskList_Remove(p2p_TaskList *list, p2p_TimerTask *task, int stop);
int p2p_TaskList_Clear(p2p_TaskList *list);

struct p2p_TreeNode {
    void *record;
    p2p_TreeNode *left;
    p2p_TreeNode *right;
};
typedef p2p_TreeNode *p2p_Tree;
// compare(key, record): sign of (key - record's key); the default compares the first int32 of each.
typedef int (*p2p_TreeCompare)(const void *key, const void *record);
int p2p_Tree_CompareKey(const void *key, const void *record);
p2p_TreeNode **p2p_Tree_Find(p2p_Tree *root, p2p_TreeCompare cmp, const void *key);
p2p_TreeNode *p2p_Tree_Insert(p2p_Tree *root, p2p_TreeCompare cmp, void *record);
void p2p_Tree_DeleteNode(p2p_TreeNode **link);
int p2p_Tree_Walk(p2p_TreeNode *root, int (*visit)(p2p_TreeNode *node, void *arg), void *arg);
int p2p_Tree_DeleteIf(p2p_Tree *root, int (*pred)(void *record));
uint32_t p2p_Gcd(uint32_t a, uint32_t b);
