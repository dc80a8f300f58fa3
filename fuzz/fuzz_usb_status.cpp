// Arbitrary USB status texts as a device pushes them, into the parser and, when they parse, the notify list.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/qv_log.h"
#include "runtime/usb_notify.h"

namespace {
void on_report(const qv_usb_status *, int) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        qv::set_log_enabled(false);
        init_usbnotify_list();
        return true;
    }();
    (void)once;
    std::string text(reinterpret_cast<const char *>(data), size);
    qv_usb_status s{};
    if (get_usbstatus_by_jsonstring(text.c_str(), &s) == 0) {
        update_add_usbnotify_list(&s, 1);
        check_usbnotify_list(on_report);
    }
    return 0;
}
