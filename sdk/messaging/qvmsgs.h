// Messaging context: one MQTT connection to the broker with its listeners. Broadcast listeners receive the
// "services" text of every message on their topic; p2p listeners answer each request on their topic with a
// "getResp" reply on the requester's topic. Callbacks run on the MQTT library's thread, one message at a
// time, and must not add or delete listeners of their own context.
//
// Results: 0 success, -1 failure; creating functions return NULL. The broker login ("devices" and a fixed
// password) is shared by every client of the protocol, and anyone who may publish on a listener's topic can
// inject requests into it: both are properties of the protocol that this module cannot change.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>

struct qvmsgs_conn;

using qvmsgs_p2p_cb = char *(*)(const char *services);  // returns a malloc'ed reply text, or NULL
using qvmsgs_bc_cb = void (*)(const char *topic, const char *services);

enum { QVMSGS_LISTENER_BROADCAST = 0, QVMSGS_LISTENER_P2P = 1 };

struct qvmsgs_msg_event {
    qvmsgs_msg_event *next = nullptr;
    qvmsgs_msg_event *prev = nullptr;
    char msg[128] = {};
    qvmsgs_p2p_cb p2p_cb = nullptr;
    qvmsgs_bc_cb bc_cb = nullptr;
    int type = 0;
    std::atomic<int> reply_state{0};   // 0 none, 1 a reply is being published, 2 its outcome is known
    std::atomic<int> reply_result{0};  // -1 after a failed reply publication
};

// One subscription's own outcome: 0 waiting, 1 granted, 2 refused.
struct qvmsgs_sub_wait {
    std::atomic<int> state{0};
};

struct qvmsgs_context {
    qvmsgs_msg_event listeners;  // list head: next is the first record, prev the last
    std::mutex lock;             // conn_state writes
    std::mutex list_lock;  // the listener list; held by the dispatch while it walks, never while waiting
    qvmsgs_conn *conn = nullptr;
    int from_type = 0;
    std::atomic<int> conn_state{0};  // 0 not connected; 2 the last connect attempt has finished
    std::atomic<int> disconn_state{0};
    std::atomic<int> sub_state{0};    // 2 once any subscription outcome was reported
    std::atomic<int> last_result{0};  // outcome of the last connect or disconnect: 0 or -1
    std::atomic<bool> login_refused{false};
    std::atomic<int> connects{0};  // successful connects so far
    char client_id[256] = {};
    std::mutex sub_lock;
    std::list<qvmsgs_sub_wait> sub_waits;  // freed with the context
};

// Connects to server_uri ("host:port" plain, "ssl://host:port" TLS; at most 32 characters, a longer one is
// refused) after writing the trust bundle to "<cert_dir>/qv_sert.pem". client_id NULL: one made from time,
// thread, pid and a process-wide counter. Returns once the first attempt has finished (the context is
// returned when it failed too, and keeps reconnecting with a back-off unless the broker refused the login);
// NULL when it could not be set up.
qvmsgs_context *qvmsgs_init(const char *server_uri, const char *client_id, int from_type,
                            const char *cert_dir);
// Waits for replies in flight, disconnects, drops the listeners and frees the context. NULL is logged.
void qvmsgs_destroy(qvmsgs_context *context);
// 0 when the file holds exactly the bundle afterwards (an identical file is left untouched); -1 otherwise.
int qvmsgs_create_cert_file(const char *path);
// The compiled-in trust bundle (PEM) and its length.
const char *qvmsgs_cert_bundle();
// A malloc'ed copy of prefix + topic (the prefixes are empty); NULL when out of memory.
char *qvmsgs_make_topic(const char *topic, const char *prefix);
// Whether an id may become one topic segment: not empty, and none of "+", "#", "/" (nor a control byte).
bool qvmsgs_topic_segment_ok(const char *id);

// Adds a listener and subscribes its topic (QoS 1). 0 once the broker granted this subscription; -1 without a
// context or topic, while not connected, or when the subscription was refused or got no answer. The listener
// stays listed on -1 and is subscribed again after the next connect.
int qvmsgs_add_broadcast_listener(qvmsgs_context *context, const char *topic, qvmsgs_bc_cb cb);
int qvmsgs_add_p2p_message_listener(qvmsgs_context *context, const char *topic, qvmsgs_p2p_cb cb);
// Unsubscribes the topic and removes its records of either kind: 0, or -1.
int qvmsgs_del_broadcast_listener(qvmsgs_context *context, const char *topic);
int qvmsgs_del_p2p_message_listener(qvmsgs_context *context, const char *topic);
// The dispatch of one arrived message (the connection layer's message hook).
void qv_msgarrvd(qvmsgs_context *context, const char *topic, const void *payload, int len);
