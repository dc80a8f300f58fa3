// Arbitrary bytes as a download's id file (target + ".qvc.uuid"): only exactly the 32 characters of the id
// are accepted as ours; anything else is another download's (10258) or unreadable (13116), and the file is
// never changed.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "command/download_id.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = [] {
        qv::set_log_enabled(false);
        char tmpl[] = "/dev/shm/fuzz_download_id.XXXXXX";  // a memory file system: many runs a second
        const char *d = mkdtemp(tmpl);
        return std::string(d ? d : "/tmp");
    }();
    static const std::string path = dir + "/f.bin.qvc.uuid";
    static char id[QV_TASK_ID_LEN + 1] = {};
    if (!id[0]) download_task_id("/home/u/f.bin", 12345, 67890, id);
    if (size > 4096) return 0;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    const bool written = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    if (!written) return 0;
    const int rc = check_download_id_file(path.c_str(), id);
    const bool exact = size == QV_TASK_ID_LEN && std::memcmp(data, id, QV_TASK_ID_LEN) == 0;
    if (exact != (rc == 0)) __builtin_trap();
    if (rc != 0 && rc != 10258 && rc != 13116) __builtin_trap();
    if (rc == 13116 && size != 0) __builtin_trap();  // only an empty file is unreadable here
    // Never rewritten.
    const int rfd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string back(size + 1, '\0');
    const ssize_t n = rfd >= 0 ? read(rfd, back.data(), back.size()) : -1;
    if (rfd >= 0) close(rfd);
    if (n != static_cast<ssize_t>(size) || std::memcmp(back.data(), data, size) != 0) __builtin_trap();
    return 0;
}
