// The HTTP exchanges' edge of the socket-I/O core (sock_io.h): deadline-bounded waits, reads and writes with
// the task's cancel flag (seen within 50 ms), and their results as the exchanges' codes.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

struct client_file_task;
struct qvhttp_request;

namespace qvio {

constexpr int kSliceMs = 50;  // as the core's

int64_t now_ms();  // monotonic
bool cancelled(const client_file_task *task);

// 0 readable; QV_ERR_RECV when the deadline passes; QV_ERR_CANCELLED on cancel.
int wait_readable(int fd, int64_t deadline_ms, const client_file_task *task);
// Reads exactly n bytes: 0; QV_ERR_NET when the peer closes or the read fails; QV_ERR_RECV on time-out;
// QV_ERR_CANCELLED on cancel.
// `*got` (may be null) receives the count read.
int read_exact(int fd, void *buf, size_t n, int64_t deadline_ms, const client_file_task *task, size_t *got);
// 0 writable; QV_ERR_NET when the deadline passes or the wait fails; QV_ERR_CANCELLED on cancel.
int wait_writable(int fd, int64_t deadline_ms, const client_file_task *task);
// Writes n bytes: 0; QV_ERR_NET on failure or time-out; QV_ERR_CANCELLED on cancel.
int write_all(int fd, const void *buf, size_t n, int64_t deadline_ms, const client_file_task *task);
// Sends n bytes of the file `src` from `off` by sendfile(), without a copy through user memory: 0;
// QV_ERR_LOCAL_FILE when the file ends early or cannot be read; QV_ERR_NET on failure or time-out;
// QV_ERR_CANCELLED on cancel; 1 when the kernel cannot send from `src` and nothing was sent (the caller
// copies the bytes itself). sendfile() has no MSG_NOSIGNAL: hold a SigpipeBlock while calling it.
int send_file(int fd, int src, int64_t off, size_t n, int64_t deadline_ms, const client_file_task *task);

// Keeps SIGPIPE blocked in this thread for its lifetime and takes back one raised meanwhile before the mask
// is restored, so a peer that hangs up never ends the program.
class SigpipeBlock {
  public:
    SigpipeBlock();
    ~SigpipeBlock();
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

  private:
    sigset_t pipe_{}, old_{};
    bool was_pending_ = false;
};

// One framed message: the 4-byte length (host order) and the payload, followed by `tail` (a request's body),
// in one gathered write: 0, QV_ERR_NET, QV_ERR_CANCELLED.
int send_frame(int fd, const void *buf, uint32_t len, int64_t deadline_ms, const client_file_task *task,
               const void *tail = nullptr, size_t tail_len = 0);
// Receives one framed message into a new zero-terminated buffer (free() it). 0 with *out/*len set;
// QV_ERR_RECV when nothing usable arrives in time (closed, empty or oversized frame); QV_ERR_CANCELLED on
// cancel.
int recv_frame(int fd, char **out, uint32_t *len, int64_t deadline_ms, const client_file_task *task);

// The request's header block (one frame) and body, written together, within t: 0, QV_ERR_NOT_BUILT block not
// built, QV_ERR_NET, QV_ERR_CANCELLED.
int send_request(qvhttp_request *r, int fd, int32_t t);
// The reply's header block within t, parsed into r->resp: 0, QV_ERR_RECV, QV_ERR_CANCELLED, QV_ERR_NOT_BUILT
// unreadable block.
int read_reply_head(qvhttp_request *r, int fd, int32_t t);
// Header block and body (Content-Length or chunked). *consumed: exactly this reply was read off the wire.
int read_reply(qvhttp_request *r, int fd, int32_t t, bool *consumed);

}  // namespace qvio
