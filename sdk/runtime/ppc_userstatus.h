// The signed-in user's status topic on the messaging broker ("qv_tessera/userStatusChanged/<user id>"): one
// listener per running service, whose callback runs on the messaging client's thread with the text of each
// message's "services" member (null when the message carries none).
#pragma once

#include <cstddef>

#include "runtime/ppclib.h"

using ppc_user_status_cb = void (*)(const char *topic, const char *msg);

// Room for a user-status topic and its NUL.
constexpr size_t PPC_USER_STATUS_TOPIC_SIZE = 256;

// The topic of `user_id` into `out` (PPC_USER_STATUS_TOPIC_SIZE bytes). 0; -1 for a missing or empty id, an
// id that cannot be one topic segment ("+", "#", "/", control bytes), or a topic longer than the messaging
// layer keeps (127 characters).
int ppc_user_status_topic(const char *user_id, char *out);

// Subscribes the user's status topic on the service's messaging context with `cb`. A second call replaces
// the first listener (its topic is unsubscribed), so one user's changes never arrive twice. 0 once the
// broker granted the subscription. -1: no context, not the running service's, the service runs without
// messaging (the broker could not be reached at start), a bad user id or no callback, called from inside
// the callback, or the subscription was not granted ("add_broadcast_listener error, ..."); in that last case
// the listener stays and is subscribed again when the connection returns, until cancelled.
int ppc_userStatusChangedListen(const char *user_id, ppc_user_status_cb cb, ppc_router_task *ctx);
// Removes the listener and unsubscribes its topic: no callback starts once this returns. From inside the
// callback the listener is silenced at once and its topic is left to the next call or the service stop.
// Always 0.
int ppc_cancel_userStatusChangedListen(ppc_router_task *ctx);
