// Arbitrary device bytes through a socket pair into the reply header-block read and the chunked reader, as an
// exchange sees them: the framed header block, then (when it says chunked) the chunks.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "link/qvcrypt.h"
#include "link/qvhttp.h"
#include "link/qvhttp_exchange.h"
#include "link/qvhttp_io.h"

namespace {
int accept_chunk(const char *, client_file_task *) {
    return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        qv::set_log_enabled(false);
        qv_crypt_init();
        return true;
    }();
    (void)once;
    if (size > 1 << 16) return 0;  // fits the socket buffer: the writer never blocks
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int buf = 1 << 18;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    if (size && write(sv[1], data, size) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);  // end of input: the reader sees the device close

    client_file_task *task = client_file_task_new();
    task->timeout = 20;
    task->parse_cb = accept_chunk;
    qvhttp_request *r = qvhttp_request_new();
    qvhttp_set_file_task(r, task);
    bool consumed = false;
    qvio::read_reply(r, sv[0], 20, &consumed);
    qvhttp_request_destroy(r);
    client_file_task_free(task);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
