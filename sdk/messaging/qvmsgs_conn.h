// MQTT connection layer over the Paho asynchronous client: one client per connection, the option records,
// the library callbacks turned into the owner's hooks, and a reconnect supervisor that keeps the connection
// coming back with a back-off until the owner destroys it (never after the broker refused the login).
#pragma once

#include <MQTTAsync.h>

#include <condition_variable>
#include <mutex>
#include <thread>

struct qvmsgs_context;

// The broker login every client of the protocol shares (a property of the protocol, not a secret we own).
inline constexpr char QVMSGS_USER[] = "devices";
inline constexpr char QVMSGS_PASSWORD[] = "wan7093!";

// Delays before reconnect attempt n (0 right after a loss), in milliseconds: 0, 100, 200, 400, 800, then
// 1000.
int qvmsgs_backoff_ms(int attempt);

struct qvmsgs_hooks {
    void (*connected)(qvmsgs_context *) = nullptr;
    void (*after_connect)(qvmsgs_context *) = nullptr;
    // refused_login: the broker turned the credentials down; no further attempt follows.
    void (*connect_failed)(qvmsgs_context *, bool refused_login) = nullptr;
    void (*lost)(qvmsgs_context *) = nullptr;
    void (*arrived)(qvmsgs_context *, const char *topic, const void *payload, int len) = nullptr;
};

struct qvmsgs_conn {
    MQTTAsync client = nullptr;
    char server_uri[33] = {};
    char client_id[257] = {};
    char trust_store[256] = {};
    qvmsgs_context *owner = nullptr;
    qvmsgs_hooks hooks;

    // Reconnect supervisor: started by qvmsgs_connect, stopped by qvmsgs_stop_reconnect.
    std::mutex mu;
    std::condition_variable cv;
    std::thread supervisor;
    bool pending = false;  // a connect is to be started
    bool stopping = false;
    int attempt = 0;  // consecutive failed attempts
};

// Creates the client and starts the first connect; the outcome arrives through the hooks. NULL when the
// library refuses at once. trust_store is used for "ssl://" addresses: the server's certificate must chain to
// it and name the host. *slot (when given) receives the record before the connect starts, so that hooks
// running meanwhile find it; it is cleared again on failure.
qvmsgs_conn *qvmsgs_connect(const char *trust_store, const char *server_uri, const char *client_id,
                            const qvmsgs_hooks &hooks, qvmsgs_context *owner, qvmsgs_conn **slot = nullptr);
// Ends the reconnect supervisor; no connect is started after it returns.
void qvmsgs_stop_reconnect(qvmsgs_conn *c);
// Starts a disconnect: 0 when accepted (the outcome follows through on_ok / on_fail with ctx); otherwise the
// library's code (no outcome follows). -1 for a missing record.
int qvmsgs_disconnect(qvmsgs_conn *c, MQTTAsync_onSuccess *on_ok, MQTTAsync_onFailure *on_fail, void *ctx);
// Destroys the client (no callback runs after it); 0, or -1 for a missing record.
int qvmsgs_destroy_context(qvmsgs_conn *c);
// Subscribes; the outcome reaches on_ok or on_fail with ctx. Returns the library's code (no outcome follows a
// nonzero one).
int qvmsgs_subscribe_topic(qvmsgs_conn *c, const char *topic, int qos, MQTTAsync_onSuccess *on_ok,
                           MQTTAsync_onFailure *on_fail, void *ctx);
int qvmsgs_unsubscribe_topic(qvmsgs_conn *c, const char *topic);
// Publishes text (without its NUL), not retained; the library copies the payload. Like subscribing.
int qvmsgs_publish_message(qvmsgs_conn *c, const char *topic, const char *text, int qos,
                           MQTTAsync_onSuccess *on_ok, MQTTAsync_onFailure *on_fail, void *ctx);
