// gzip decompression of device reply bodies, and its compressing twin.
#pragma once

#include <cstdint>

// Largest inflated size gzdecompress accepts; a bigger output is refused so that a small hostile body cannot
// exhaust memory.
inline constexpr uint64_t QV_GZ_MAX_OUTPUT = 64ull << 20;

// Inflates one complete gzip member into a new heap buffer (free() it) holding *ndata bytes plus a
// terminating zero byte. Bytes after the member are ignored. 0 on success; QV_ERR_ARG on a missing argument
// (nothing stored); QV_ERR_FAILED on a corrupt, non-gzip or truncated stream or an output above
// QV_GZ_MAX_OUTPUT (null and 0 stored).
int gzdecompress(const void *zdata, uint64_t nzdata, char **data, uint64_t *ndata);

// As gzdecompress with a caller-chosen output cap.
int gzdecompress_limit(const void *zdata, uint64_t nzdata, char **data, uint64_t *ndata, uint64_t max_out);

// Compresses into one gzip member. *size is the room of zdata on entry and the compressed length on success.
// 0 on success; a positive count of input bytes not consumed when zdata is too small; QV_ERR_ARG
// on a missing argument; QV_ERR_FAILED on any other failure.
int gzcompress(const void *data, uint64_t ndata, void *zdata, uint64_t *size);
