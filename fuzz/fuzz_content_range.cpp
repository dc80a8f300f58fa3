// Arbitrary header values into the readers of "Content-Range" (ranged download and open stream) and
// "Content-Length": whatever is accepted is in range, and the stream's length is never negative.
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/content_range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    int64_t start = -1, end = -1;
    if (qvhttp_parse_content_range(text.c_str(), &start, &end) && (start < 0 || end < start))
        __builtin_trap();
    if (qvhttp_stream_range_length(text.c_str()) < 0) __builtin_trap();
    int64_t len = -1;
    if (qvhttp_parse_length(text.c_str(), &len) && len < 0) __builtin_trap();
    return 0;
}
