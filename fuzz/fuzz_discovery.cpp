// Arbitrary datagram payloads from a LAN peer into the discovery handler, as the listener hands them on:
// from a listed address and from an unlisted one.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/qv_log.h"
#include "runtime/dev_manage.h"
#include "runtime/qvad_client.h"

namespace {
void on_added(const qv_dev_detail *) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static ppc_router_task *ctx = [] {
        qv::set_log_enabled(false);
        ppc_router_task *c = ppc_router_task_new();
        c->dev_add_cb = on_added;
        return c;
    }();
    qv_init_dev_list();
    qv_dev_detail r{};
    std::snprintf(r.ip, sizeof r.ip, "10.0.0.2");
    qv_update_dev_list(&r, QV_DEV_ADD);
    const char *text = reinterpret_cast<const char *>(data);
    dis_on_datagram(ctx, text, size, "10.0.0.2");
    dis_on_datagram(ctx, text, size, "10.0.0.3");
    unsigned n = 0;
    qv_xfree(qv_get_dev_list(&n));
    qv_free_dev_list();
    return 0;
}
