// Arbitrary bytes as a download's resume file (a killed process, a full disk or another program may have
// left anything there): the reader takes whole 40-byte records only, each exactly as stored.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "base/record_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool muted = (qv::set_log_enabled(false), true);
    (void)muted;
    static const int fd = memfd_create("resume", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
    if (size && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    record_dnode *list = nullptr;
    const int count = read_list_from_file(path.c_str(), &list);
    if (count != static_cast<int>(size / QV_RECORD_IMAGE_SIZE)) __builtin_trap();
    // The list runs in the reverse of the file's order.
    int i = count;
    for (const record_dnode *n = list; n; n = n->next) {
        --i;
        record_dnode want{};
        record_from_image(data + static_cast<size_t>(i) * QV_RECORD_IMAGE_SIZE, &want);
        if (i < 0 || n->index != want.index || n->start != want.start || n->cur != want.cur ||
            n->end != want.end)
            __builtin_trap();
    }
    if (i != 0) __builtin_trap();
    destory_record_list(list);
    return 0;
}
