// Arbitrary reply texts into the upload reply parser and the firmware-download progress parser. Byte 0 picks
// the parser; for the progress parser the rest holds up to three messages separated by zero bytes, applied
// in turn to one record, as the messages of one firmware download are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "codec/client_info.h"
#include "codec/file_parse_settings.h"
#include "codec/file_parse_transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool muted = (qv::set_log_enabled(false), true);
    (void)muted;
    if (size < 1) return 0;
    const bool upload = (data[0] & 1) == 0;
    const std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    client_info ci{};
    if (upload) {
        ci.recv_buf = strdup(rest.c_str());
        upload_parse_json(&ci);
        if (ci.r_json) __builtin_trap();  // released on every path
        std::free(ci.recv_buf);
        return 0;
    }
    size_t at = 0;
    for (int i = 0; i < 3 && at <= rest.size(); ++i) {
        const size_t zero = rest.find('\0', at);
        const std::string msg = rest.substr(at, zero == std::string::npos ? std::string::npos : zero - at);
        at = zero == std::string::npos ? rest.size() + 1 : zero + 1;
        ci.recv_buf = strdup(msg.c_str());
        if (download_fw_parse_json(&ci) == 0 && ci.reserved) (void)std::strlen(ci.reserved);
        if (ci.r_json) __builtin_trap();
        std::free(ci.recv_buf);
        ci.recv_buf = nullptr;
    }
    std::free(ci.reserved);
    return 0;
}
