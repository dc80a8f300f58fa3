#include "runtime/ppc_token_list.h"

#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

#include "base/qv_log.h"

namespace {

// The mutex outlives every initialisation, so the initialised state is read under it too: set-up and
// teardown are safe beside the other operations.
std::mutex g_mu;
bool g_init = false;
std::list<token_dnode *> g_nodes;  // append order

void free_node(token_dnode *n) {
    std::free(n->work_dir);
    std::free(n);
}

std::list<token_dnode *>::iterator find(int64_t token) {
    for (auto it = g_nodes.begin(); it != g_nodes.end(); ++it)
        if ((*it)->token == token) return it;
    return g_nodes.end();
}

}  // namespace

int init_ppc_token_list() {
    std::lock_guard lk(g_mu);
    if (!g_init) {
        g_nodes.clear();
        g_init = true;
    }
    return 0;
}

int is_ppc_token_list_init() {
    std::lock_guard lk(g_mu);
    return g_init ? 1 : 0;
}

int add_info_for_ppc_token_list(token_dnode *node) {
    if (node == nullptr) {
        QV_LOG_ERROR("p_token_info is null!!");
        return -1;
    }
    std::lock_guard lk(g_mu);
    if (!g_init) return -1;
    g_nodes.push_back(node);
    return 0;
}

int del_info_from_ppc_token_list(int64_t token) {
    std::lock_guard lk(g_mu);
    if (!g_init) return -1;
    auto it = find(token);
    if (it == g_nodes.end()) return -1;
    free_node(*it);
    g_nodes.erase(it);
    return 0;
}

int get_info_from_ppc_token_list(token_dnode **out, int64_t token) {
    if (out == nullptr) {
        QV_LOG_ERROR("p_token_info is null!!");
        return -1;
    }
    std::lock_guard lk(g_mu);
    if (!g_init) return -1;
    auto it = find(token);
    if (it == g_nodes.end()) return -1;
    auto *copy = static_cast<token_dnode *>(std::calloc(1, sizeof(token_dnode)));
    if (copy == nullptr) return -1;
    copy->token = (*it)->token;
    copy->work_dir = (*it)->work_dir ? strdup((*it)->work_dir) : nullptr;
    if ((*it)->work_dir && copy->work_dir == nullptr) {
        std::free(copy);
        return -1;
    }
    *out = copy;
    return 0;
}

int update_work_dir_for_ppc_token_list(const char *dir, int64_t token) {
    if (dir == nullptr) return -1;
    std::lock_guard lk(g_mu);
    if (!g_init) return -1;
    auto it = find(token);
    if (it == g_nodes.end()) return -1;
    char *copy = strdup(dir);
    if (copy == nullptr) return -1;
    std::free((*it)->work_dir);
    (*it)->work_dir = copy;
    QV_LOG_DEBUG("token_dnode->work_dir: %s", copy);
    return 0;
}

char *get_work_dir_from_ppc_token_list(int64_t token) {
    std::lock_guard lk(g_mu);
    if (!g_init) return nullptr;
    auto it = find(token);
    if (it == g_nodes.end() || (*it)->work_dir == nullptr) return nullptr;
    return strdup((*it)->work_dir);
}

int free_ppc_token_list() {
    std::lock_guard lk(g_mu);
    if (!g_init) {
        QV_LOG_ERROR("no need free");
        return -1;
    }
    for (token_dnode *n : g_nodes) free_node(n);
    g_nodes.clear();
    g_init = false;
    return 0;
}
