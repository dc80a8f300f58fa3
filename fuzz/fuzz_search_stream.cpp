// Arbitrary chunks into the streamed search parser (117), as the chunk reader drives it: a chunk, then the
// after-chunk release when it was taken; byte 0 says how many chunks the rest is cut into (a later chunk
// finds what an earlier failed one left).
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "codec/file_parse_task.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool muted = (qv::set_log_enabled(false), true);
    (void)muted;
    if (size < 1) return 0;
    const size_t parts = 1 + data[0] % 3;
    const std::string all(reinterpret_cast<const char *>(data + 1), size - 1);
    client_file_task *task = client_file_task_new();
    if (!task) return 0;
    const size_t step = all.size() / parts + 1;
    for (size_t at = 0; at < all.size() || at == 0; at += step) {
        const std::string chunk = all.substr(at, step);
        if (parser_FileTaskSearch(chunk.c_str(), task) == 0) destroy_FileTaskSearch(task);
        if (all.empty()) break;
    }
    destroy_FileTaskSearch(task);
    client_file_task_free(task);
    return 0;
}
