#include "link/qvcrypt.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/aes256.h"
#include "qv_config.h"

static_assert(sizeof(QV_CIPHER_KEY) - 1 == 32, "the payload cipher key is 32 bytes");

namespace {
constexpr int32_t kBlock = 16;

// The context exists between init and release; the mutex guards it and serialises every block transform.
std::mutex encrypt_mutex;
aes256_context *aes_ctx = nullptr;

enum class Dir { Encrypt, Decrypt };

// Transforms the first block of buf under the lock; false when the cipher is not initialised.
bool transform_first_block(uint8_t *buf, Dir dir) {
    std::lock_guard<std::mutex> lock(encrypt_mutex);
    if (aes_ctx == nullptr) return false;
    if (dir == Dir::Encrypt)
        aes256_encrypt_block(aes_ctx, buf);
    else
        aes256_decrypt_block(aes_ctx, buf);
    return true;
}
}  // namespace

int qv_crypt_init() {
    std::lock_guard<std::mutex> lock(encrypt_mutex);
    if (aes_ctx == nullptr) {
        auto *ctx = new aes256_context{};
        aes256_init(ctx, reinterpret_cast<const uint8_t *>(QV_CIPHER_KEY));
        aes_ctx = ctx;
    }
    return 0;
}

int qv_crypt_release() {
    std::lock_guard<std::mutex> lock(encrypt_mutex);
    if (aes_ctx != nullptr) {
        std::memset(aes_ctx, 0, sizeof *aes_ctx);
        delete aes_ctx;
        aes_ctx = nullptr;
    }
    return 0;
}

int qv_crypt_encrypt(const void *in, int32_t in_len, char **out, int32_t *out_len) {
    if (out == nullptr || out_len == nullptr || in_len < 0 || (in == nullptr && in_len > 0) ||
        in_len > INT32_MAX - kBlock) {
        QV_LOG_ERROR("para is error, in_len=%d", in_len);
        return QV_ERR_ARG;
    }
    // Round up to whole blocks; an empty body still becomes one block.
    int32_t padded = in_len == 0 ? kBlock : (in_len + kBlock - 1) / kBlock * kBlock;
    auto *buf = static_cast<char *>(std::calloc(static_cast<size_t>(padded) + 1, 1));
    if (buf == nullptr) {
        QV_LOG_ERROR("out of memory for %d bytes", padded);
        return QV_ERR_FAILED;
    }
    if (in_len > 0) std::memcpy(buf, in, static_cast<size_t>(in_len));
    if (!transform_first_block(reinterpret_cast<uint8_t *>(buf), Dir::Encrypt)) {
        std::free(buf);
        QV_LOG_ERROR("para is null");
        return QV_ERR_FAILED;
    }
    *out = buf;
    *out_len = padded;
    return 0;
}

int qv_crypt_decrypt(const void *in, int32_t in_len, char **out, int32_t *out_len) {
    if (out == nullptr || out_len == nullptr || in == nullptr || in_len < kBlock || in_len % kBlock != 0) {
        QV_LOG_ERROR("cannot decipher %d bytes: not whole cipher blocks", in_len);
        return QV_ERR_ARG;
    }
    auto *buf = static_cast<char *>(std::calloc(static_cast<size_t>(in_len) + 1, 1));
    if (buf == nullptr) {
        QV_LOG_ERROR("out of memory for %d bytes", in_len);
        return QV_ERR_FAILED;
    }
    std::memcpy(buf, in, static_cast<size_t>(in_len));
    if (!transform_first_block(reinterpret_cast<uint8_t *>(buf), Dir::Decrypt)) {
        std::free(buf);
        QV_LOG_ERROR("para is null");
        return QV_ERR_FAILED;
    }
    *out = buf;
    *out_len = in_len;
    return 0;
}
