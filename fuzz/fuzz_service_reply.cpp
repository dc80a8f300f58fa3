// Feeds arbitrary bytes as the service-login reply of each of the four commands and checks that the record
// stays within its fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/qv_log.h"
#include "messaging/qvsl_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    qv::set_log_enabled(false);
    for (int cmd : {100, 102, 103, 104}) {
        auto *d = static_cast<qvsl_http_data *>(calloc(1, sizeof(qvsl_http_data)));
        d->cmd = cmd;
        d->recv_buf = static_cast<char *>(malloc(size + 1));
        std::memcpy(d->recv_buf, data, size);
        d->recv_buf[size] = '\0';
        d->recv_len = static_cast<int64_t>(size);
        qvsl_http_parse_reply(d);
        if (std::strlen(d->err_msg) >= sizeof d->err_msg || std::strlen(d->auth_url) >= sizeof d->auth_url ||
            std::strlen(d->auth_id) >= sizeof d->auth_id)
            __builtin_trap();
        if (d->result == 0 && qvsl_http_map_result(d->result) != 0) __builtin_trap();
        free(d->recv_buf);
        free(d);
    }
    return 0;
}
