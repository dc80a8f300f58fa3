// Arbitrary device bytes into the framed-message readers: byte 0 picks the reader (TCP stream: QV_MsgReceive,
// QV_MsgReceive_Try; UDP: one datagram into QV_UdpReceive), the rest is what the peer sent. Every frame read
// is checked against the bytes that arrived.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/qv_log.h"
#include "link/msg.h"

namespace {

void check_frames(const uint8_t *data, size_t size, int fd, bool try_variant) {
    const uint32_t timeout = 5;
    size_t at = 0;
    for (int i = 0; i < 64; ++i) {
        char *out = nullptr;
        const int n = try_variant ? QV_MsgReceive_Try(fd, &out, &timeout) : QV_MsgReceive(fd, &out, &timeout);
        if (n < 0) {
            if (out) __builtin_trap();  // a failed read hands nothing over
            return;
        }
        if (n == 0) {
            std::free(out);
            if (at + sizeof(msg_hdr) > size) return;  // the peer's close, or an empty frame
            at += sizeof(msg_hdr);
            continue;
        }
        // A whole frame: the payload is the bytes after its header, then a zero byte.
        if (!out || at + sizeof(msg_hdr) + static_cast<size_t>(n) > size ||
            std::memcmp(out, data + at + sizeof(msg_hdr), static_cast<size_t>(n)) != 0 || out[n] != 0)
            __builtin_trap();
        std::free(out);
        at += sizeof(msg_hdr) + static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool muted = (qv::set_log_enabled(false), true);
    (void)muted;
    if (size < 1 || size > 1 << 15) return 0;
    const int mode = data[0] % 3;
    ++data;
    --size;
    int sv[2];
    if (socketpair(AF_UNIX, mode == 2 ? SOCK_DGRAM : SOCK_STREAM, 0, sv) != 0) return 0;
    int buf = 1 << 18;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    if (write(sv[1], data, size) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    if (mode == 2) {
        char *out = nullptr;
        const uint32_t timeout = 5;
        struct sockaddr_in from {};
        const int n = QV_UdpReceive(sv[0], &out, &timeout, &from);
        if (n >= 0) {
            msg_hdr h{};
            std::memcpy(&h, data, size < sizeof h ? size : sizeof h);
            // The payload is the announced length, zero-terminated; no byte past the datagram is taken.
            if (!out && h.msg_len > 0) __builtin_trap();
            if (out && out[h.msg_len] != 0) __builtin_trap();
            if (out && size > sizeof h) {
                const size_t have = size - sizeof h < h.msg_len ? size - sizeof h : h.msg_len;
                if (std::memcmp(out, data + sizeof h, have) != 0) __builtin_trap();
            }
        }
        std::free(out);
    } else {
        shutdown(sv[1], SHUT_WR);
        check_frames(data, size, sv[0], mode == 1);
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
