// Arbitrary reply texts into the device-user codec (every row's parser, through the dispatcher and
// called directly), the device reply rows (104, 163 to 165, 170, 173, 174) and the streamed-reply
// parsers fed chunk after chunk into one task.
#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/client_file_task.h"
#include "base/qv_log.h"
#include "codec/device_user_process.h"
#include "codec/file_parse_device.h"
#include "codec/file_process.h"

namespace {

struct Records {
    nas_device_info nas{};
    ota_version_info ota{};
    char fw[QV_FW_VERSION_SIZE]{};
    soft_version_info svi{};
    ota_info otaInfo{};
    p2p_client_info p2p{};
};

void hang(client_info &ci, Records &r) {
    ci.nasDeviceInfo = &r.nas;
    ci.otaVersionInfo = &r.ota;
    ci.fwVersion = r.fw;
    ci.svi = &r.svi;
    ci.otaInfo = &r.otaInfo;
    ci.p2pInfo = &r.p2p;
}

void check_terminated(const Records &r, const client_info &ci) {
    // Every fixed text must stay terminated within its field.
    if (strnlen(ci.ver, sizeof ci.ver) == sizeof ci.ver ||
        strnlen(ci.bindCode, sizeof ci.bindCode) == sizeof ci.bindCode ||
        strnlen(ci.deviceId, sizeof ci.deviceId) == sizeof ci.deviceId ||
        strnlen(ci.customCode, sizeof ci.customCode) == sizeof ci.customCode ||
        strnlen(r.fw, sizeof r.fw) == sizeof r.fw ||
        strnlen(r.nas.stmVer, sizeof r.nas.stmVer) == sizeof r.nas.stmVer ||
        strnlen(r.svi.description, sizeof r.svi.description) == sizeof r.svi.description ||
        strnlen(r.p2p.remote_ip, sizeof r.p2p.remote_ip) == sizeof r.p2p.remote_ip ||
        strnlen(r.otaInfo.deviceId, sizeof r.otaInfo.deviceId) == sizeof r.otaInfo.deviceId)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qv::set_log_enabled(false), true);
    (void)quiet;
    const std::string text(reinterpret_cast<const char *>(data), size);

    // Device-user table: the dispatcher with every row's code, then each parser on the parsed text.
    json_object *doc = json_tokener_parse(text.c_str());
    for (size_t i = 0; i < QV_DEVICE_USER_CMD_COUNT; ++i) {
        const device_user_row &row = device_user_table()[i];
        Records r;
        client_info ci;
        std::memset(&ci, 0, sizeof ci);
        hang(ci, r);
        ci.cmd = row.code;
        ci.recv_buf = strdup(text.c_str());
        DeviceUser_ParseProcess(&ci);
        if (ci.r_json != nullptr) std::abort();  // always released
        std::free(ci.recv_buf);
        check_terminated(r, ci);

        client_info direct;
        std::memset(&direct, 0, sizeof direct);
        hang(direct, r);
        direct.r_json = doc;
        row.parser(&direct, row.code, static_cast<int>(i), &row);
        check_terminated(r, direct);
    }
    if (doc != nullptr) json_object_put(doc);

    // Device reply rows of the main table.
    for (int cmd : {104, 163, 164, 165, 170, 173, 174}) {
        Records r;
        client_info ci;
        std::memset(&ci, 0, sizeof ci);
        hang(ci, r);
        ci.cmd = cmd;
        ci.recv_buf = strdup(text.c_str());
        file_parse_process(&ci);
        std::free(ci.recv_buf);
        std::free(ci.retstr);
        check_terminated(r, ci);
    }

    // Streamed parsers: the input split at newlines into chunks, all fed into one task per parser.
    for (file_task_parse_fn parse :
         {parser_FileTaskOpt, parser_FileTaskOta, parser_DeviceTaskExec, parser_FileTaskConnectDevice}) {
        client_file_task *task = client_file_task_new();
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            const std::string chunk = text.substr(start, end - start);
            parse(chunk.c_str(), task);
            if (strnlen(task->version, sizeof task->version) == sizeof task->version) std::abort();
            start = end + 1;
        }
        client_file_task_free(task);
    }
    return 0;
}
