// The one socket-I/O core of the link layer: waiting for a descriptor, exact reads, whole writes and the
// 4-byte framed message, each bounded by a deadline and an optional cancel flag. The framed-message calls
// (msg.h) and the HTTP exchanges (qvhttp_io.h) both run on it and turn its outcome into their own result
// codes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qvsock {

// Outcome of a core call.
enum class Io {
    Ok,
    Closed,    // the peer ended the stream (a read of 0), or a write found the other direction closed (EPIPE)
    Failed,    // any other failure, or a descriptor that would block when waiting is not allowed
    TimedOut,  // the deadline passed
    Cancelled,  // the cancel flag was set
};

inline constexpr int64_t kNever = INT64_MAX;
// A wait with a cancel flag sleeps at most this long before looking at the flag again.
inline constexpr int kSliceMs = 50;

int64_t now_ms();  // monotonic clock

// A cancel flag for every wait of the calling thread, besides each call's own flag: a worker thread whose
// connects and opens run below calls that take no flag (the pool's open) still ends them once its flag is
// set. Null clears it. Returns the flag it replaces.
const std::atomic<int32_t> *set_thread_cancel(const std::atomic<int32_t> *flag);

// Sets the thread's cancel flag for one scope and puts the earlier one back.
class ThreadCancelScope {
  public:
    explicit ThreadCancelScope(const std::atomic<int32_t> *flag) : prev_(set_thread_cancel(flag)) {}
    ~ThreadCancelScope() { set_thread_cancel(prev_); }
    ThreadCancelScope(const ThreadCancelScope &) = delete;
    ThreadCancelScope &operator=(const ThreadCancelScope &) = delete;

  private:
    const std::atomic<int32_t> *prev_;
};

// How the calls of one operation may wait.
struct Waits {
    int64_t deadline_ms = kNever;  // absolute, on now_ms()'s clock; kNever: without limit
    uint32_t each_wait_ms = 0;     // > 0: every single wait gets this much afresh (deadline unused)
    bool never = false;            // no waiting: reads in the descriptor's own mode (a blocking one
                                   // blocks), and one that would block is Failed
    bool fd_mode = false;          // read and write in the descriptor's own mode (a blocking one
                                   // blocks) instead of non-blocking calls that wait on EAGAIN
    const std::atomic<int32_t> *cancel = nullptr;  // non-zero: the operation ends with Cancelled

    static Waits until(int64_t deadline_ms, const std::atomic<int32_t> *cancel = nullptr) {
        Waits w;
        w.deadline_ms = deadline_ms;
        w.cancel = cancel;
        return w;
    }
    // `ms` from now; 0 means without limit.
    static Waits within(uint32_t ms) { return until(ms ? now_ms() + ms : kNever); }
};

// Waits until `events` (POLLIN / POLLOUT) are possible. An error or hang-up counts as ready: the next read or
// write reports it. At the deadline one last look is taken, so data already there is never a time-out.
Io wait_for(int fd, short events, const Waits &w);

// One read or write without waiting (MSG_DONTWAIT, or the descriptor's mode with fd_mode). Bytes moved, 0 at
// the end of the stream (reads), or -1 with errno (EAGAIN when it would block). Not a socket: read()/write().
ssize_t read_some(int fd, void *buf, size_t n, bool fd_mode = false);
ssize_t write_some(int fd, const void *buf, size_t n, bool fd_mode = false);

// Reads exactly n bytes. `*got` (may be null) receives the count read in every case.
Io read_exact(int fd, void *buf, size_t n, const Waits &w, size_t *got);
// Writes n bytes; `*sent` (may be null) receives the count written in every case.
Io write_all(int fd, const void *buf, size_t n, const Waits &w, size_t *sent = nullptr);

// One framed message: the 4-byte length in host order, the payload, and (optionally) `tail` bytes right after
// it, handed to the kernel in one gathered write so that a request and its body leave together.
Io send_frame(int fd, const void *payload, uint32_t len, const Waits &w, const void *tail = nullptr,
              size_t tail_len = 0);
// The 4-byte length of the next frame. `*got` (may be null) receives how many of its bytes arrived.
Io recv_frame_len(int fd, uint32_t *len, const Waits &w, size_t *got = nullptr);

}  // namespace qvsock
