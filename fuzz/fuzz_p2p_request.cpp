// Feeds arbitrary bytes to the parsers of what peers publish: the p2p request, the broadcast "services"
// reader and the QR-code login's command reader, then builds the reply a request would get.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "messaging/qvmsgs.h"
#include "messaging/qvmsgs_json.h"
#include "messaging/qvsl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    qv::set_log_enabled(false);
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (qvmsgs_p2p_task *t = qvmsgs_parse_json_to_p2p_task(text.c_str())) {
        if (!t->fromId || !t->services) __builtin_trap();
        qvmsgs_topic_segment_ok(t->fromId);
        char *reply =
            qvmsgs_make_response_p2p_message_json(1, t->msgId, "qvsl/p2p/consumerId@@@a", t->services, 0, "");
        if (!reply) __builtin_trap();
        free(reply);
        qvmsgs_free_p2p_task(t);
    }
    free(qvmsgs_parse_serviceinfo_by_bc(text.c_str()));
    free(p2p_msg_listener_cb(text.c_str()));
    return 0;
}
