// Feeds arbitrary bytes to the reply header-block parser, both length-bounded and as a terminated text, and
// reads back everything it stored.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/qvhttp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);

    qvhttp_resp *p = qvhttp_resp_new();
    if (!p) return 0;
    qvhttp_resp_parse_headers_n(p, text, size);
    // Parse again into the same record: a repeated block must replace, not leak.
    qvhttp_resp_parse_headers_n(p, text, size);
    char **names = nullptr;
    int count = 0;
    if (qvhttp_hdr_get_names(p->headers, &names, &count) == 0) {
        for (int i = 0; i < count; ++i) {
            const char *v = qvhttp_hdr_get(p->headers, names[i]);
            if (!v) __builtin_trap();  // every listed name must be found again
            std::free(names[i]);
        }
        std::free(names);
    }
    if (count > QVHTTP_HDR_SLOTS) __builtin_trap();
    if (p->status_code < 0 || p->status_code > 999) __builtin_trap();
    if (p->reason_phrase) (void)std::strlen(p->reason_phrase);
    qvhttp_resp_free(p);

    std::string terminated(text, size);
    p = qvhttp_resp_new();
    if (!p) return 0;
    qvhttp_resp_parse_headers(p, terminated.c_str());
    qvhttp_resp_free(p);
    return 0;
}
