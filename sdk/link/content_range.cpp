#include "link/content_range.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

bool qvhttp_parse_length(const char *text, int64_t *out) {
    if (!text) return false;
    while (*text == ' ' || *text == '\t') ++text;
    if (*text < '0' || *text > '9') return false;  // no sign: strtoull would wrap a "-"
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (errno || !end || *end || v > static_cast<unsigned long long>(INT64_MAX)) return false;
    *out = static_cast<int64_t>(v);
    return true;
}

bool qvhttp_parse_content_range(const char *text, int64_t *start, int64_t *end) {
    if (!text || strncasecmp(text, "bytes ", 6) != 0) return false;
    const char *p = text + 6;
    if (*p < '0' || *p > '9') return false;
    char *q = nullptr;
    errno = 0;
    unsigned long long s = std::strtoull(p, &q, 10);
    if (errno || *q != '-' || q[1] < '0' || q[1] > '9') return false;
    unsigned long long e = std::strtoull(q + 1, &q, 10);
    if (errno || s > e || e > static_cast<unsigned long long>(INT64_MAX)) return false;
    *start = static_cast<int64_t>(s);
    *end = static_cast<int64_t>(e);
    return true;
}

int64_t qvhttp_stream_range_length(const char *text) {
    int64_t start = 0, end = 0;
    return qvhttp_parse_content_range(text, &start, &end) ? end - start : 0;
}
