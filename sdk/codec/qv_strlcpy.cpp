#include "codec/qv_strlcpy.h"

#include <cstring>

size_t qv_strlcpy(char *dst, const char *src, size_t size) {
    const size_t len = src ? std::strlen(src) : 0;
    if (dst == nullptr || size == 0) return len;
    const size_t n = len < size - 1 ? len : size - 1;
    if (n > 0) std::memmove(dst, src, n);
    dst[n] = '\0';
    return len;
}
