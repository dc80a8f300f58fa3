// Device login and logout of the runtime: the login with the cloud's authorisation code hands out the
// session token, fetches the device's module list and starts the device's push thread; the logout cancels
// the tracked tasks, forgets the module list, stops the push thread and closes the pooled connections.
// Both run on the caller's thread and are admitted by the service's call gate.
#pragma once

#include <cstdint>

#include "runtime/ppclib.h"

// Logs in to the device at `addr` with `authCode`. 0 with `*token` set; QV_ERR_LOGIN_UNREACHABLE when the
// device cannot be reached; the device's refusal (its header error) or a local failure unchanged; -1 for a
// missing argument, a context that is not the running service's, or a push thread that cannot start (the
// token is written all the same, but the session has no push channel and so no cache). A failed login
// leaves later commands going to the device they went to before. The module list is fetched once the
// device has accepted; a failure there is logged and the login goes on.
int ppc_login_by_authcode(const char *authCode, const char *addr, int64_t *token, ppc_router_task *ctx);
// Logs out the session `token`: 0; -1 without a context or when it is not the running service's. Called from
// the USB status callback (on the push thread), it tells that thread to end and does not wait for it.
int ppc_logout(int64_t token, ppc_router_task *ctx);
