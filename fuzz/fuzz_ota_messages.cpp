// Arbitrary "services" texts from the broker into the firmware verdict and follow-up parsers, and arbitrary
// device ids and topics into the topic checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/qv_log.h"
#include "runtime/ota_update.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        qv::set_log_enabled(false);
        return true;
    }();
    (void)once;
    const std::string text(reinterpret_cast<const char *>(data), size);
    int result = 0, process = 0;
    if (ota_parse_verdict(text.c_str(), &result) != 0 && result != 0) std::abort();
    if (ota_parse_progress(text.c_str(), &result, &process) == 0 && process < -1) std::abort();
    char topic[QV_OTA_TOPIC_MAX + 1];
    if (ota_verdict_topic(text.c_str(), text.size(), topic, sizeof topic) == 0 &&
        (std::strlen(topic) > QV_OTA_TOPIC_MAX || std::strpbrk(topic, "+#") != nullptr))
        std::abort();
    if (ota_device_topic(text.c_str(), text.size(), topic, sizeof topic) == 0 &&
        std::strchr(text.c_str(), '/') != nullptr)
        std::abort();
    return 0;
}
