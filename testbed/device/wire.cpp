#include "wire.h"

#include <openssl/evp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "qv_config.h"

namespace qvemu {

bool send_all(int fd, const void *data, size_t size) {
    auto *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool send_file_range(int fd, int file_fd, int64_t offset, uint64_t size) {
    // sendfile() has no MSG_NOSIGNAL: block SIGPIPE in this thread and take back one raised meanwhile.
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    auto off = static_cast<off_t>(offset);
    bool ok = true;
    while (size > 0) {
        const ssize_t n = ::sendfile(fd, file_fd, &off, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        size -= static_cast<uint64_t>(n);
    }
    if (!was_pending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec none{0, 0};
        sigtimedwait(&pipe_set, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

size_t recv_exact(int fd, void *data, size_t size) {
    auto *p = static_cast<char *>(data);
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, p + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

std::string frame(std::string_view payload) {
    uint32_t len = static_cast<uint32_t>(payload.size());
    std::string out(sizeof len, '\0');
    std::memcpy(out.data(), &len, sizeof len);
    out.append(payload);
    return out;
}

CipherKey build_cipher_key() {
    static_assert(sizeof(QV_CIPHER_KEY) - 1 == 32, "QV_CIPHER_KEY must be 32 bytes");
    CipherKey k{};
    std::memcpy(k.data(), QV_CIPHER_KEY, k.size());
    return k;
}

namespace {
struct CtxFree {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};

// One AES-256 block, encrypt or decrypt, in place.
bool aes_block(uint8_t *block, const CipherKey &key, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1)
        return false;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    uint8_t out[32];
    int n = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &n, block, 16) != 1 || n != 16) return false;
    std::memcpy(block, out, 16);
    return true;
}
}  // namespace

std::string encipher(std::string_view plain, const CipherKey &key) {
    size_t padded = plain.empty() ? 16 : (plain.size() + 15) / 16 * 16;
    std::string out(plain);
    out.resize(padded, '\0');
    if (!aes_block(reinterpret_cast<uint8_t *>(out.data()), key, true))
        throw std::runtime_error("AES block encryption failed");
    return out;
}

bool decipher(std::string &body, const CipherKey &key) {
    if (body.size() < 16) return false;
    return aes_block(reinterpret_cast<uint8_t *>(body.data()), key, false);
}

std::string_view until_nul(std::string_view s) {
    size_t z = s.find('\0');
    return z == std::string_view::npos ? s : s.substr(0, z);
}

std::string gzip_member(std::string_view data) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&zs, data.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
    return out;
}

std::string chunk(std::string_view data) {
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    std::string out(size);
    out.append(data);
    out.append("\r\n");
    return out;
}

}  // namespace qvemu
