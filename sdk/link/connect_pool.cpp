#include "link/connect_pool.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "base/qv_defaults.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/msg.h"
#include "qv_config.h"

namespace {

constexpr int kIdle = 1;
constexpr int kInUse = 2;
constexpr int64_t kMaxIdleMs = 100;
constexpr int32_t kMaxIdleCount = 2;
constexpr int32_t kCloseTimeoutMs = 200;
constexpr auto kWatchInterval = std::chrono::milliseconds(60);

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One pooled connection.
struct con_info {
    int32_t state = kInUse;
    int64_t last_use_us = 0;  // monotonic time of the add or the last give-back
    sock_handle sock{};       // fd, ret (0 while pooled), timeout of the last borrower, conn_id
    char addr[QV_POOL_ADDR_MAX + 1] = {};
    int32_t port = 0;
};

struct con_list {
    std::list<con_info> nodes;  // newest first
    // Connections closed by close-all while borrowed: shut down at once, their descriptor closed only at the
    // give-back, so that the number cannot be reused under the borrower.
    std::list<con_info> retired;
    int32_t available_num = 0;
    int32_t total_num = 0;
    std::thread watchdog;
};

// The mutex and the condition variable live as long as the process, so late calls meet no destroyed lock.
std::mutex g_mu;
std::condition_variable g_cv;
con_list *pConList = nullptr;  // guarded by g_mu
std::atomic<bool> conPoolExitFlag{false};
uint64_t g_next_conn_id = 0;  // guarded by g_mu
std::atomic<int> g_port{QV_DEVICE_CMD_PORT};

int plain_open(const char *addr, int port, int timeout_ms, int *fd) {
    *fd = QV_InetClientTimeOutInit(AF_INET, static_cast<uint16_t>(port), SOCK_STREAM, addr, timeout_ms);
    return *fd >= 0 ? 0 : QV_ERR_NET;
}

int plain_close(int *fd, int /*timeout_ms*/) {
    ::close(*fd);
    *fd = -1;
    return 0;
}

std::atomic<decltype(qv_pool_conn_ops::open_fn)> g_open{plain_open};
std::atomic<decltype(qv_pool_conn_ops::close_fn)> g_close{plain_close};

// Closes a connection whose node is already out of the pool; never called under g_mu.
void close_node(con_info &node) {
    qv_close_connect(&node.sock);
}

int connect_pool_watch_dog(con_list *pool) {
    QV_LOG_MSG("start connect_pool_watch_dog succeed!");
    bool closed_one = false;
    for (;;) {
        std::list<con_info> victim;
        {
            std::unique_lock<std::mutex> lk(g_mu);
            if (!closed_one) g_cv.wait_for(lk, kWatchInterval, [] { return conPoolExitFlag.load(); });
            if (conPoolExitFlag.load()) {
                QV_LOG_DEBUG("conPoolExitFlag = %d", 1);
                return 0;
            }
            const int64_t now = now_us();
            for (auto it = pool->nodes.begin(); it != pool->nodes.end(); ++it) {
                if (it->state == kInUse) continue;
                if (it->state != kIdle) {
                    QV_LOG_ERROR("state = %d is error.", it->state);
                    continue;
                }
                const int64_t idle_ms = (now - it->last_use_us) / 1000;
                if (idle_ms > kMaxIdleMs || pool->available_num > kMaxIdleCount) {
                    pool->available_num--;
                    pool->total_num--;
                    QV_LOG_MSG("fd=%d, ret=%d, internal=%lld, available_num=%d, total_num=%d", it->sock.fd,
                               it->sock.ret, static_cast<long long>(idle_ms), pool->available_num,
                               pool->total_num);
                    victim.splice(victim.begin(), pool->nodes, it);
                    break;
                }
            }
        }
        closed_one = !victim.empty();
        // The close exchange (up to 200 ms) runs without the pool mutex.
        if (closed_one) close_node(victim.front());
    }
}

// Unlinks every node of `pool`: idle ones are returned for the caller to close outside the mutex, borrowed
// ones are shut down and retired (or, when `all`, returned as well).
std::list<con_info> take_all(con_list *pool, bool all) {
    std::list<con_info> out;
    for (auto it = pool->nodes.begin(); it != pool->nodes.end();) {
        auto cur = it++;
        if (cur->state == kInUse && !all) {
            ::shutdown(cur->sock.fd, SHUT_RDWR);
            pool->retired.splice(pool->retired.end(), pool->nodes, cur);
        } else {
            out.splice(out.end(), pool->nodes, cur);
        }
    }
    if (all) out.splice(out.end(), pool->retired);
    pool->available_num = 0;
    pool->total_num = 0;
    return out;
}

void close_all_failed(std::list<con_info> &nodes) {
    for (auto &n : nodes) {
        n.sock.ret = -1;  // closed without a request
        close_node(n);
    }
}

}  // namespace

int init_connect_pool(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (pConList) {
        QV_LOG_ERROR("connect pool has been inited!");
        QV_LOG_MSG("init_connect_pool succeed!");
        return 0;
    }
    auto *pool = new (std::nothrow) con_list;
    if (!pool) return ENOMEM;
    conPoolExitFlag.store(false);
    try {
        pool->watchdog = std::thread(connect_pool_watch_dog, pool);
    } catch (const std::system_error &e) {
        int err = e.code().value();
        QV_LOG_ERROR("create connect pool watch dog thread failed, ret = %d", err);
        delete pool;
        return err ? err : EAGAIN;
    }
    pConList = pool;
    QV_LOG_MSG("init_connect_pool succeed!");
    return 0;
}

int destory_connect_pool(void) {
    con_list *pool = nullptr;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        pool = pConList;
        pConList = nullptr;  // from here on borrowers see no pool
        if (!pool) {
            QV_LOG_ERROR("pSockHandleList is null.");
            return 0;
        }
        conPoolExitFlag.store(true);
    }
    g_cv.notify_all();
    if (pool->watchdog.joinable()) pool->watchdog.join();

    std::list<con_info> nodes;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        nodes = take_all(pool, true);
    }
    close_all_failed(nodes);
    delete pool;
    QV_LOG_MSG("destory connect pool succeed!");
    return 0;
}

int QVConnect(const char *addr, sock_handle **handle, int timeout) {
    return QVConnectPort(addr, g_port.load(), handle, timeout);
}

int QVConnectPort(const char *addr, int port, sock_handle **handle, int timeout) {
    if (!addr || !*addr || !handle || std::strlen(addr) > static_cast<size_t>(QV_POOL_ADDR_MAX)) {
        QV_LOG_ERROR("para is error!");
        return QV_ERR_ARG;
    }
    auto *h = new (std::nothrow) sock_handle{};
    if (!h) return QV_ERR_FAILED;
    h->fd = -1;
    h->timeout = timeout;

    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!pConList) {
            QV_LOG_ERROR("pConList is null.");
            delete h;
            return QV_ERR_FAILED;
        }
        if (pConList->available_num > 0) {
            for (auto &n : pConList->nodes) {
                if (n.state != kIdle || n.port != port || std::strcmp(n.addr, addr) != 0) continue;
                n.state = kInUse;
                pConList->available_num--;
                h->fd = n.sock.fd;
                h->conn_id = n.sock.conn_id;
                *handle = h;
                return 0;
            }
        }
    }

    // Open a new connection outside the mutex, so that several borrowers can open at once.
    int fd = -1;
    int ret = g_open.load()(addr, port, timeout ? timeout : QV_DEFAULT_TIMEOUT_MS, &fd);
    h->ret = ret;
    if (ret != 0) {
        QV_LOG_ERROR("qv_open_connect failed, ret=%d, fd=%d", ret, fd);
        // The open may have kept a socket open although the reply was refused: not pooled, so close it.
        if (fd >= 0) ::close(fd);
    } else {
        h->fd = fd;
    }
    if (ret == 0 && h->fd < 0) ret = QV_ERR_NET;  // an open that left no socket is no success

    std::lock_guard<std::mutex> lk(g_mu);
    if (!pConList) {
        QV_LOG_ERROR("pConList is null.");
        if (h->fd >= 0) ::close(h->fd);
        delete h;
        return QV_ERR_FAILED;
    }
    if (h->fd < 0) {
        QV_LOG_ERROR("qv_open_connect error, ret = %d", ret);
        delete h;
        return ret;
    }
    pConList->nodes.emplace_front();
    con_info &n = pConList->nodes.front();
    pConList->total_num++;
    n.state = kInUse;
    n.last_use_us = now_us();
    n.sock.fd = h->fd;
    n.sock.timeout = timeout;
    n.sock.conn_id = h->conn_id = ++g_next_conn_id;
    std::memcpy(n.addr, addr, std::strlen(addr) + 1);
    n.port = port;
    *handle = h;
    return 0;
}

int QVClose(sock_handle *handle) {
    if (!handle) {
        QV_LOG_ERROR("pSockHandleList is null.");
        return QV_ERR_ARG;
    }
    std::list<con_info> failed;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!pConList) {
            QV_LOG_ERROR("pConList is null.");
            delete handle;
            return QV_ERR_FAILED;
        }
        auto same = [handle](const con_info &n) {
            return handle->conn_id != 0 && n.sock.conn_id == handle->conn_id;
        };
        auto &nodes = pConList->nodes;
        auto it = nodes.begin();
        while (it != nodes.end() && !(same(*it) && it->state == kInUse)) ++it;
        if (it == nodes.end()) {
            // Closed under the borrower by close-all: its descriptor is closed now. Unknown handles are only
            // freed.
            auto &retired = pConList->retired;
            auto r = retired.begin();
            while (r != retired.end() && !same(*r)) ++r;
            if (r != retired.end()) failed.splice(failed.begin(), retired, r);
        } else {
            QV_LOG_DEBUG("fd=%d, ret=%d, total_num=%d, available_num=%d", handle->fd, handle->ret,
                         pConList->total_num, pConList->available_num);
            if (handle->ret != 0) {
                pConList->total_num--;
                failed.splice(failed.begin(), nodes, it);
            } else {
                it->last_use_us = now_us();
                it->state = kIdle;
                it->sock.timeout = handle->timeout;
                pConList->available_num++;
            }
        }
    }
    close_all_failed(failed);
    delete handle;
    return 0;
}

void qv_close_connect(sock_handle *handle) {
    if (!handle || handle->fd < 0) return;
    if (handle->ret != 0) {
        // A failed connection: close without sending anything.
        ::close(handle->fd);
        handle->fd = -1;
        return;
    }
    int fd = handle->fd;
    int ret = g_close.load()(&fd, kCloseTimeoutMs);
    handle->ret = ret;
    if (ret != 0) QV_LOG_ERROR("qv_close_connect failed, ret=%d, fd=%d", ret, handle->fd);
    // The close ends the socket; when it stopped before that, close it here.
    if (fd >= 0) ::close(fd);
    handle->fd = -1;
}

int qv_close_all_connection(void) {
    std::list<con_info> nodes;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (!pConList) {
            QV_LOG_ERROR("pSockHandleList is null.");
            return QV_ERR_FAILED;
        }
        nodes = take_all(pConList, false);
    }
    close_all_failed(nodes);
    return 0;
}

int qv_connect_pool_counts(int32_t *total_num, int32_t *available_num) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!pConList) return QV_ERR_FAILED;
    if (total_num) *total_num = pConList->total_num;
    if (available_num) *available_num = pConList->available_num;
    return 0;
}

void qv_connect_pool_set_port(int port) {
    g_port.store(port > 0 ? port : QV_DEVICE_CMD_PORT);
}

const qv_pool_conn_ops qv_pool_plain_ops = {plain_open, plain_close};

void qv_connect_pool_set_ops(const qv_pool_conn_ops *ops) {
    const qv_pool_conn_ops &o = ops ? *ops : qv_pool_plain_ops;
    g_open.store(o.open_fn ? o.open_fn : plain_open);
    g_close.store(o.close_fn ? o.close_fn : plain_close);
}
