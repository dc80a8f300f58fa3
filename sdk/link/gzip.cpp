#include "link/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/qv_errors.h"
#include "base/qv_log.h"

namespace {
constexpr int kGzipWindowBits = 15 + 16;  // gzip wrapper only, 32 KiB window

// zlib counts in 32-bit units; longer inputs are offered piece by piece.
uInt clamp_uint(uint64_t n) {
    return static_cast<uInt>(std::min<uint64_t>(n, UINT_MAX));
}
}  // namespace

int gzdecompress(const void *zdata, uint64_t nzdata, char **data, uint64_t *ndata) {
    return gzdecompress_limit(zdata, nzdata, data, ndata, QV_GZ_MAX_OUTPUT);
}

int gzdecompress_limit(const void *zdata, uint64_t nzdata, char **data, uint64_t *ndata, uint64_t max_out) {
    if (zdata == nullptr || nzdata == 0 || data == nullptr || ndata == nullptr) {
        QV_LOG_ERROR("para is error, zdata=%p, nzdata=%lu, data=%p, ndata=%p.", zdata,
                     static_cast<unsigned long>(nzdata), static_cast<void *>(data),
                     static_cast<void *>(ndata));
        return QV_ERR_ARG;
    }

    // Output grows by a fixed step sized from the input; one byte more than the room holds the terminator.
    uint64_t chunk = nzdata < 1000 ? 4 * nzdata : 12 * std::min<uint64_t>(nzdata, UINT64_MAX / 12);
    if (max_out < UINT64_MAX)
        chunk = std::min<uint64_t>(chunk, max_out + 1);  // no need to offer more than the cap
    chunk = std::max<uint64_t>(chunk, 1);

    auto fail = [&](z_stream *zs, char *buf) {
        if (zs != nullptr) inflateEnd(zs);
        std::free(buf);
        *data = nullptr;
        *ndata = 0;
        return QV_ERR_FAILED;
    };

    char *buf = static_cast<char *>(std::calloc(chunk + 1, 1));
    if (buf == nullptr) return fail(nullptr, nullptr);
    uint64_t cap = chunk;  // bytes usable for output (the buffer has one more)

    z_stream zs{};
    if (inflateInit2(&zs, kGzipWindowBits) != Z_OK) {
        QV_LOG_ERROR("inflateInit2 is error.");
        return fail(nullptr, buf);
    }

    const auto *in = static_cast<const Bytef *>(zdata);
    uint64_t in_left = nzdata;
    uint64_t produced = 0;
    bool ended = false;
    while (!ended) {
        if (zs.avail_in == 0 && in_left > 0) {
            zs.next_in = const_cast<Bytef *>(in);
            zs.avail_in = clamp_uint(in_left);
            in += zs.avail_in;
            in_left -= zs.avail_in;
        }
        if (produced == cap) {
            // Room used up: add one more step, keeping the produced bytes in place.
            uint64_t grown = produced + chunk;
            char *nb = static_cast<char *>(std::realloc(buf, grown + 1));
            if (nb == nullptr) return fail(&zs, buf);
            buf = nb;
            std::memset(buf + produced, 0, chunk + 1);
            cap = grown;
            QV_LOG_MSG("produce_out_len=%llu, avail_out_len=%llu, d_stream.avail_out=%llu",
                       static_cast<unsigned long long>(produced), static_cast<unsigned long long>(chunk),
                       static_cast<unsigned long long>(cap - produced));
        }
        zs.next_out = reinterpret_cast<Bytef *>(buf + produced);
        zs.avail_out = clamp_uint(cap - produced);
        uInt offered = zs.avail_out;
        int err = inflate(&zs, Z_NO_FLUSH);
        produced += offered - zs.avail_out;
        if (produced > max_out) {
            QV_LOG_ERROR("inflated size passes the limit of %llu bytes",
                         static_cast<unsigned long long>(max_out));
            return fail(&zs, buf);
        }
        switch (err) {
            case Z_STREAM_END:
                ended = true;
                break;
            case Z_OK:
                break;
            case Z_BUF_ERROR:
                // No progress possible: fine when only the room is used up, a cut-off stream when the input
                // is.
                if (zs.avail_in == 0 && in_left == 0 && produced < cap) {
                    QV_LOG_ERROR("gzip stream ends early after %llu bytes",
                                 static_cast<unsigned long long>(produced));
                    return fail(&zs, buf);
                }
                break;
            default:
                QV_LOG_ERROR("inflate is error, err=%d", err);
                return fail(&zs, buf);
        }
    }
    if (inflateEnd(&zs) != Z_OK) return fail(nullptr, buf);

    buf[produced] = '\0';
    *data = buf;
    *ndata = produced;
    QV_LOG_DEBUG("nzdata=%llu, *ndata=%llu", static_cast<unsigned long long>(nzdata),
                 static_cast<unsigned long long>(produced));
    return 0;
}

int gzcompress(const void *data, uint64_t ndata, void *zdata, uint64_t *size) {
    if (data == nullptr || ndata == 0 || zdata == nullptr || size == nullptr) return QV_ERR_ARG;

    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return QV_ERR_FAILED;
    }
    const auto *in = static_cast<const Bytef *>(data);
    uint64_t in_left = ndata;
    auto *out = static_cast<Bytef *>(zdata);
    const uint64_t room = *size;
    uint64_t written = 0;

    auto step = [&](int flush) {
        if (zs.avail_in == 0 && in_left > 0) {
            zs.next_in = const_cast<Bytef *>(in);
            zs.avail_in = clamp_uint(in_left);
            in += zs.avail_in;
            in_left -= zs.avail_in;
        }
        zs.next_out = out + written;
        zs.avail_out = clamp_uint(room - written);
        uInt offered = zs.avail_out;
        int err = deflate(&zs, flush);
        written += offered - zs.avail_out;
        return err;
    };

    while ((zs.avail_in > 0 || in_left > 0) && written < room) {
        if (step(Z_NO_FLUSH) != Z_OK) {
            deflateEnd(&zs);
            return QV_ERR_FAILED;
        }
    }
    uint64_t left = zs.avail_in + in_left;
    if (left > 0) {
        deflateEnd(&zs);
        return static_cast<int>(std::min<uint64_t>(left, INT_MAX));
    }
    for (;;) {
        int err = step(Z_FINISH);
        if (err == Z_STREAM_END) break;
        if (err != Z_OK) {
            deflateEnd(&zs);
            return QV_ERR_FAILED;
        }
    }
    if (deflateEnd(&zs) != Z_OK) return QV_ERR_FAILED;
    *size = written;
    return 0;
}
