// A scripted exchange in place of the device post, for the processor and call tests: it records the
// request and answers with a whole reply text, with chunks handed to the task's parser, or with a code.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "command/net_transport.h"

struct FakePost {
    int result = 0;
    bool whole = true;                // false: no reply text (as after a chunked reply)
    std::string reply;                // the whole reply text
    std::vector<std::string> chunks;  // handed to the task's parser, one by one
    // Observed.
    int calls = 0;
    std::string url, request;
    int timeout = 0;
    client_file_task *task = nullptr;
    std::vector<int64_t> ids_after_chunk;  // the task's id after each chunk
};

inline FakePost &fake_post() {
    static FakePost f;
    return f;
}

inline int fake_post_fn(const char *url, const char *request, int timeout, char **reply, uint64_t *len,
                        client_file_task *task) {
    FakePost &f = fake_post();
    ++f.calls;
    f.url = url;
    f.request = request;
    f.timeout = timeout;
    f.task = task;
    if (f.result != 0) return f.result;
    if (task != nullptr && task->parse_cb != nullptr) {
        for (const auto &c : f.chunks) {
            const int r = task->parse_cb(c.c_str(), task);
            f.ids_after_chunk.push_back(task->id.load());
            if (task->chunk_cb) task->chunk_cb(task);
            if (task->destroy_cb) task->destroy_cb(task);
            if (r != 0) return r;
            if (task->cancel_status.load() != 0) return 20008;
        }
    }
    if (f.whole && !f.reply.empty()) {
        *reply = strdup(f.reply.c_str());
        *len = f.reply.size();
    }
    return 0;
}

// Installs a fresh fake for one test and removes it at the end.
struct FakePostScope {
    FakePostScope() {
        fake_post() = FakePost{};
        qv_set_net_post(fake_post_fn);
        qv::set_log_enabled(false);
    }
    ~FakePostScope() {
        qv_set_net_post(nullptr);
        qv::set_log_enabled(true);
    }
};
