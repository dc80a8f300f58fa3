#include "runtime/ppc_fd_list.h"

#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "base/qv_log.h"
#include "link/base64.h"

namespace {

// The mutex outlives every initialisation, so set-up and teardown are safe beside the other operations.
std::mutex g_mu;
bool g_init = false;
std::map<int32_t, fd_dnode *> g_entries;  // by v_fd
// Bit v set: descriptor v is taken (bit 0 stands for the never-used descriptor 0 and stays set).
uint64_t g_used[(PPC_V_FD_MAX + 1) / 64];

void mark(int32_t v, bool used) {
    const uint64_t bit = uint64_t{1} << (v % 64);
    if (used)
        g_used[v / 64] |= bit;
    else
        g_used[v / 64] &= ~bit;
}

void reset_used() {
    std::memset(g_used, 0, sizeof g_used);
    mark(0, true);
}

// Under g_mu.
int32_t smallest_free() {
    for (size_t w = 0; w < std::size(g_used); ++w)
        if (g_used[w] != ~uint64_t{0}) return static_cast<int32_t>(w * 64 + std::countr_one(g_used[w]));
    return -1;
}

void free_entry(fd_dnode *e) {
    if (e->entries != nullptr) {
        for (void **p = e->entries; *p != nullptr; ++p) std::free(*p);
        std::free(e->entries);
    }
    std::free(e->path);
    std::free(e);
}

// Under g_mu: the entry, or null when the table is not initialised or has no such descriptor.
fd_dnode *find(int32_t v_fd) {
    if (!g_init) return nullptr;
    auto it = g_entries.find(v_fd);
    return it == g_entries.end() ? nullptr : it->second;
}

bool position_allowed(const fd_dnode *e, int64_t pos, int64_t limit_over_count) {
    if (e->type != PPC_FD_LIST) return true;
    return pos >= 0 && pos <= static_cast<int64_t>(e->entry_count) + limit_over_count;
}

}  // namespace

int init_ppc_fd_list() {
    std::lock_guard lk(g_mu);
    if (!g_init) {
        g_entries.clear();
        reset_used();
        g_init = true;
    }
    return 0;
}

int is_ppc_fd_list_init() {
    std::lock_guard lk(g_mu);
    return g_init ? 1 : 0;
}

int add_info_for_ppc_fd_list(fd_dnode *node) {
    if (node == nullptr) {
        QV_LOG_ERROR("p_fd_info is null!!");
        return -1;
    }
    std::lock_guard lk(g_mu);
    if (!g_init) {
        QV_LOG_DEBUG("not init");
        return -1;
    }
    const int32_t v = smallest_free();
    if (v < 0) {
        QV_LOG_ERROR("invalid fd");
        return -1;
    }
    QV_LOG_DEBUG("v_fd: %d", v);
    node->v_fd = v;
    g_entries.emplace(v, node);
    mark(v, true);
    return 0;
}

int get_free_v_fd() {
    std::lock_guard lk(g_mu);
    if (!g_init) return -1;
    return smallest_free();
}

int del_info_from_ppc_fd_list(int32_t v_fd) {
    std::lock_guard lk(g_mu);
    fd_dnode *e = find(v_fd);
    if (e == nullptr) return -1;
    g_entries.erase(v_fd);
    mark(v_fd, false);
    free_entry(e);
    return 0;
}

int move_offset_for_ppc_fd_list(int32_t v_fd, int64_t delta) {
    std::lock_guard lk(g_mu);
    fd_dnode *e = find(v_fd);
    int64_t pos = 0;
    if (e == nullptr || __builtin_add_overflow(e->offset, delta, &pos) || !position_allowed(e, pos, 1))
        return -1;
    e->offset = pos;
    return 0;
}

int set_offset_for_ppc_fd_list(int32_t v_fd, int64_t offset) {
    std::lock_guard lk(g_mu);
    fd_dnode *e = find(v_fd);
    if (e == nullptr || !position_allowed(e, offset, 0)) return -1;
    e->offset = offset;
    return 0;
}

int get_fd_from_ppc_fd_list(int32_t v_fd) {
    std::lock_guard lk(g_mu);
    const fd_dnode *e = find(v_fd);
    return e == nullptr ? -1 : e->fd;
}

int64_t get_offset_from_ppc_fd_list(int32_t v_fd) {
    std::lock_guard lk(g_mu);
    const fd_dnode *e = find(v_fd);
    return e == nullptr ? -1 : e->offset;
}

int update_fd_for_ppc_fd_list(int32_t v_fd, int32_t fd) {
    std::lock_guard lk(g_mu);
    fd_dnode *e = find(v_fd);
    if (e == nullptr) return -1;
    if (e->fd > 0 && e->fd != fd) ::close(e->fd);
    e->fd = fd;
    return 0;
}

int get_info_from_ppc_fd_list(int32_t v_fd, fd_dnode **out) {
    if (out == nullptr) {
        QV_LOG_ERROR("p_fd_info is null!!");
        return -1;
    }
    std::lock_guard lk(g_mu);
    const fd_dnode *e = find(v_fd);
    if (e == nullptr) return -1;
    auto *c = static_cast<fd_dnode *>(std::calloc(1, sizeof(fd_dnode)));
    if (c == nullptr) return -1;
    c->path = e->path ? strdup(e->path) : nullptr;
    if (e->path && c->path == nullptr) {
        std::free(c);
        return -1;
    }
    c->v_fd = e->v_fd;
    c->type = e->type;
    c->offset = e->offset;
    switch (e->type) {
        case PPC_FD_LOCAL:
            c->fd = e->fd;
            c->word1 = e->word1;
            c->word2 = e->word2;
            c->word3 = e->word3;
            c->wide = e->wide;
            c->short1 = e->short1;
            break;
        case PPC_FD_PEER:
            c->fd = e->fd;
            c->wide = e->wide;
            std::memcpy(c->text, e->text, sizeof c->text);
            c->word3 = e->word3;
            c->word4 = e->word4;
            break;
        case PPC_FD_LIST:
            c->entries = e->entries;
            c->entry_count = e->entry_count;
            c->word3 = e->word3;
            break;
        default:
            break;
    }
    *out = c;
    return 0;
}

int free_ppc_fd_list() {
    std::lock_guard lk(g_mu);
    if (!g_init) {
        QV_LOG_ERROR("no need free");
        return -1;
    }
    for (auto &[v, e] : g_entries) free_entry(e);
    g_entries.clear();
    reset_used();
    g_init = false;
    return 0;
}

char *ppc_base64_encode(const char *text) {
    if (text == nullptr) return nullptr;
    size_t len = 0;
    return base64_encode(&len, std::strlen(text), text);
}

unsigned char *ppc_base64_decode(size_t *out_len, size_t max_len, const char *text) {
    size_t len = 0;
    unsigned char *out = text != nullptr ? base64_decode(&len, max_len, text) : nullptr;
    if (out_len != nullptr) *out_len = out != nullptr ? len : 0;
    return out;
}
