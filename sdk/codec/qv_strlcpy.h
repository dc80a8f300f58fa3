// Bounded copy of device texts into fixed arrays.
#pragma once

#include <cstddef>

// Copies at most size - 1 bytes of src into dst and always NUL-terminates (when size > 0). A null src
// gives an empty text. Returns the length of src, so a result >= size tells that the text was cut.
size_t qv_strlcpy(char *dst, const char *src, size_t size);

// The same for an array whose capacity the compiler knows.
template <size_t N>
inline size_t qv_strlcpy(char (&dst)[N], const char *src) {
    return qv_strlcpy(dst, src, N);
}
