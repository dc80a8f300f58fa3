// A device reply read by its Content-Length and decoded as an exchange does: the framed header block (built
// here from flag bits), the body through a socket pair, the inflate ("Content-Encoding: gzip"), the decipher
// ("Encrypt: aes") and the envelope's header. Input: byte 0 holds the flags (bit 0 gzip header, bit 1 aes
// header, bit 2 encipher the rest first, bit 3 compress it first, bit 5 a wrong
// Content-Length); the rest is the body, so the fuzzer also reaches the parsers past a good decipher.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "codec/client_info.h"
#include "codec/file_process.h"
#include "command/qv_net.h"
#include "link/gzip.h"
#include "link/msg.h"
#include "link/qvcrypt.h"
#include "link/qvhttp.h"
#include "link/qvhttp_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool once = [] {
        qv::set_log_enabled(false);
        qv_crypt_init();
        return true;
    }();
    (void)once;
    if (size < 1 || size > 1 << 14) return 0;
    const uint8_t flags = data[0];
    std::string body(reinterpret_cast<const char *>(data + 1), size - 1);
    if ((flags & 4) && !body.empty()) {
        char *out = nullptr;
        int32_t out_len = 0;
        if (qv_crypt_encrypt(body.data(), static_cast<int32_t>(body.size()), &out, &out_len) != 0) return 0;
        body.assign(out, static_cast<size_t>(out_len));
        std::free(out);
    }
    if ((flags & 8) && !body.empty()) {
        std::vector<char> z(body.size() + 1024);
        uint64_t zlen = z.size();
        if (gzcompress(body.data(), body.size(), z.data(), &zlen) != 0) return 0;
        body.assign(z.data(), static_cast<size_t>(zlen));
    }
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size() + ((flags & 32) ? 7 : 0)) + "\r\n";
    if (flags & 1) head += "Content-Encoding: gzip\r\n";
    if (flags & 2) head += "Encrypt: aes\r\n";
    head += "\r\n";
    msg_hdr h{static_cast<uint32_t>(head.size())};
    std::string wire(reinterpret_cast<const char *>(&h), sizeof h);
    wire += head;
    wire += body;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int buf = 1 << 18;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    if (write(sv[1], wire.data(), wire.size()) != static_cast<ssize_t>(wire.size())) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);

    client_file_task *task = client_file_task_new();
    task->timeout = 20;
    qvhttp_request *r = qvhttp_request_new();
    qvhttp_set_file_task(r, task);
    bool consumed = false;
    if (qvio::read_reply(r, sv[0], 20, &consumed) == 0) {
        char *reply = nullptr;
        uint64_t reply_len = 0;
        if (qv_net_decode_reply(r, &reply, &reply_len) == 0 && reply) {
            if (std::strlen(reply) > reply_len) __builtin_trap();  // the text ends within its length
            client_info ci{};
            ci.cmd = 0;  // no row: the envelope and its header only
            ci.recv_buf = reply;
            file_parse_process(&ci);
            std::free(ci.retstr);
            std::free(ci.recv_buf);
        } else {
            std::free(reply);
        }
    }
    qvhttp_request_destroy(r);
    client_file_task_free(task);
    close(sv[0]);
    close(sv[1]);
    return 0;
}
