// Service start and stop, the gateway change and the device-list calls. One service runs per process.
// Entry points that use the context hold a ppc_call_gate for their whole run: the stop closes the gate to
// new calls, cancels every task, waits (bounded) for the calls inside to leave, joins its threads and only
// then frees the context, cache, pool and cipher they use.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/ppclib.h"

// How long a stop waits for calls in progress to leave after cancelling them.
constexpr uint32_t PPC_STOP_WAIT_MS = 10000;

// Starts the service (see the header comment). The new context, or null with the failure in *err.
ppc_router_task *ppc_start_Service(const char *cache_dir, ppc_dev_cb dev_add, ppc_dev_cb dev_del,
                                   ppc_usb_status_cb usb_status, const char *gateway, int32_t *err);
// 0; -1 without a context, when it is not the running service's, or when calls did not leave within
// PPC_STOP_WAIT_MS (the context then stays allocated and closed to new calls; a later stop may finish it).
int ppc_stop_Service(ppc_router_task *ctx);
// Restarts discovery on a new broadcast address (no removed callbacks for the devices dropped). 0 or -1.
int ppc_set_Gateway(ppc_router_task **ctx, const char *gateway);
qv_dev_detail **ppc_get_dev_detail_list(uint32_t *count);
int ppc_free_dev_detail_list(qv_dev_detail **list);

// The messaging broker the start connects to ("host:port"); null restores the compiled-in address.
void ppc_set_broker_address(const char *uri);
// The broker address the start and the firmware listeners connect to.
std::string ppc_broker_address();
// Test seam: the next start fails right after discovery is up.
void ppc_fail_next_start_after_discovery_for_test();

// Whether `ctx` is the running service's and takes calls (false once its stop has begun). A tracked call
// that entered its task after the stop's cancel walk sees this and cancels itself.
bool ppc_service_open(const ppc_router_task *ctx);

// Admission of one call on the running service's context.
class ppc_call_gate {
  public:
    explicit ppc_call_gate(ppc_router_task *ctx);
    ~ppc_call_gate();
    ppc_call_gate(const ppc_call_gate &) = delete;
    ppc_call_gate &operator=(const ppc_call_gate &) = delete;
    // false: no context, not the running service's, or its stop has begun; the call must return at once.
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
};
