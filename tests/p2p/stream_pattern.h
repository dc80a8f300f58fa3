// The byte pattern the device daemon's stream source sends and the stream tests check: byte i of a stream
// depends only on i, so any loss, repeat or reordering shows at its offset.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace qvtest {

inline uint8_t patternByte(uint64_t i) {
    return (uint8_t)(((i + 1) * 0x9E3779B97F4A7C15ull) >> 56);
}
inline void fillPattern(uint64_t offset, uint8_t *p, size_t n) {
    for (size_t k = 0; k < n; ++k) p[k] = patternByte(offset + k);
}
// The offset of the first byte of p that differs from the pattern, or n.
inline size_t checkPattern(uint64_t offset, const uint8_t *p, size_t n) {
    for (size_t k = 0; k < n; ++k)
        if (p[k] != patternByte(offset + k)) return k;
    return n;
}

}  // namespace qvtest
