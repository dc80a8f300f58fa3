#include "messaging/qvmsgs_conn.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "base/qv_log.h"

namespace {

// CONNACK codes of MQTT 3.1.1 that say the login itself was turned down.
constexpr int kConnackBadCredentials = 4;
constexpr int kConnackNotAuthorised = 5;

void on_connect_success(void *ctx, MQTTAsync_successData *) {
    auto *c = static_cast<qvmsgs_conn *>(ctx);
    QV_LOG_MSG("MyConnectSuccess Successful");
    {
        std::lock_guard<std::mutex> lk(c->mu);
        c->attempt = 0;
    }
    if (c->hooks.connected) {
        c->hooks.connected(c->owner);
        if (c->hooks.after_connect) c->hooks.after_connect(c->owner);
    }
}

void schedule_reconnect(qvmsgs_conn *c, bool after_failure) {
    std::lock_guard<std::mutex> lk(c->mu);
    if (c->stopping) return;
    c->attempt = after_failure ? c->attempt + 1 : 0;
    c->pending = true;
    c->cv.notify_all();
}

void on_connect_failure(void *ctx, MQTTAsync_failureData *resp) {
    auto *c = static_cast<qvmsgs_conn *>(ctx);
    const int code = resp ? resp->code : 0;
    const bool refused = code == kConnackBadCredentials || code == kConnackNotAuthorised;
    QV_LOG_MSG("MyConnectFailed Failed, code = %d%s", code, refused ? " (login refused, no retry)" : "");
    if (c->hooks.connect_failed) c->hooks.connect_failed(c->owner, refused);
    if (!refused) schedule_reconnect(c, true);
}

void on_connection_lost(void *ctx, char *) {
    auto *c = static_cast<qvmsgs_conn *>(ctx);
    QV_LOG_ERROR("my_connlost, Connection lost, errno: %d,and reconnect", errno);
    if (c->hooks.lost) c->hooks.lost(c->owner);
    schedule_reconnect(c, false);
}

int on_arrived(void *ctx, char *topic_name, int topic_len, MQTTAsync_message *m) {
    auto *c = static_cast<qvmsgs_conn *>(ctx);
    const std::string topic =
        topic_len > 0 ? std::string(topic_name, static_cast<size_t>(topic_len)) : std::string(topic_name);
    QV_LOG_MSG("message arrived, topicName:%s, %d bytes", topic.c_str(), m->payloadlen);
    if (c->hooks.arrived) c->hooks.arrived(c->owner, topic.c_str(), m->payload, m->payloadlen);
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic_name);
    return 1;
}

// Connect and TLS options, the same for the first connect and every reconnect. TLS verifies the server's
// chain against the trust store only (not the system's) and its host name; nothing turns that off.
int start_connect(qvmsgs_conn *c) {
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    ssl.trustStore = c->trust_store;
    ssl.enableServerCertAuth = 1;
    ssl.verify = 1;
    ssl.disableDefaultTrustStore = 1;
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    o.keepAliveInterval = 120;
    o.cleansession = 1;
    o.maxInflight = 10;
    o.username = QVMSGS_USER;
    o.password = QVMSGS_PASSWORD;
    o.connectTimeout = 30;
    o.retryInterval = 1;
    o.ssl = &ssl;
    o.onSuccess = on_connect_success;
    o.onFailure = on_connect_failure;
    o.context = c;
    // One protocol version: each attempt then reports exactly one outcome (the library's default tries
    // 3.1.1 and then 3.1, and may report a failure while its second try is still under way).
    o.MQTTVersion = MQTTVERSION_3_1_1;
    o.automaticReconnect = 0;
    const int rc = MQTTAsync_connect(c->client, &o);
    if (rc != MQTTASYNC_SUCCESS) QV_LOG_ERROR("mqtt_connect failed...., rc = %d", rc);
    return rc;
}

void supervise(qvmsgs_conn *c) {
    std::unique_lock<std::mutex> lk(c->mu);
    for (;;) {
        c->cv.wait(lk, [c] { return c->pending || c->stopping; });
        if (c->stopping) return;
        const int delay = qvmsgs_backoff_ms(c->attempt);
        if (delay > 0 && c->cv.wait_for(lk, std::chrono::milliseconds(delay), [c] { return c->stopping; }))
            return;
        c->pending = false;
        lk.unlock();
        const int rc = start_connect(c);
        lk.lock();
        if (rc != MQTTASYNC_SUCCESS && !c->stopping) {
            ++c->attempt;
            c->pending = true;
        }
    }
}

void copy_text(char *dst, size_t cap, const char *src) {
    std::strncpy(dst, src ? src : "", cap - 1);
    dst[cap - 1] = '\0';
}

}  // namespace

int qvmsgs_backoff_ms(int attempt) {
    if (attempt <= 0) return 0;
    if (attempt >= 5) return 1000;
    return 100 << (attempt - 1);
}

qvmsgs_conn *qvmsgs_connect(const char *trust_store, const char *server_uri, const char *client_id,
                            const qvmsgs_hooks &hooks, qvmsgs_context *owner, qvmsgs_conn **slot) {
    if (!trust_store || !server_uri || !client_id) {
        QV_LOG_ERROR("para is null");
        return nullptr;
    }
    // A cut address would name another host or port: refuse it instead.
    if (std::strlen(server_uri) >= sizeof(qvmsgs_conn::server_uri)) {
        QV_LOG_ERROR("server address longer than %zu characters", sizeof(qvmsgs_conn::server_uri) - 1);
        return nullptr;
    }
    auto *c = new qvmsgs_conn;
    copy_text(c->trust_store, sizeof c->trust_store, trust_store);
    copy_text(c->client_id, sizeof c->client_id, client_id);
    copy_text(c->server_uri, sizeof c->server_uri, server_uri);
    c->owner = owner;
    c->hooks = hooks;
    QV_LOG_MSG("conn_opts.ssl->trustStore: %s", c->trust_store);
    if (MQTTAsync_create(&c->client, c->server_uri, c->client_id, MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS) {
        QV_LOG_ERROR("mqtt_connect failed...., client not created");
        delete c;
        return nullptr;
    }
    MQTTAsync_setCallbacks(c->client, c, on_connection_lost, on_arrived, nullptr);
    if (slot) *slot = c;
    if (start_connect(c) != MQTTASYNC_SUCCESS) {
        if (slot) *slot = nullptr;
        MQTTAsync_destroy(&c->client);
        delete c;
        return nullptr;
    }
    c->supervisor = std::thread(supervise, c);
    return c;
}

void qvmsgs_stop_reconnect(qvmsgs_conn *c) {
    if (!c) return;
    {
        std::lock_guard<std::mutex> lk(c->mu);
        c->stopping = true;
        c->cv.notify_all();
    }
    if (c->supervisor.joinable()) c->supervisor.join();
}

int qvmsgs_disconnect(qvmsgs_conn *c, MQTTAsync_onSuccess *on_ok, MQTTAsync_onFailure *on_fail, void *ctx) {
    if (!c) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (!c->client) return MQTTASYNC_FAILURE;
    MQTTAsync_disconnectOptions o = MQTTAsync_disconnectOptions_initializer;
    o.timeout = 0;
    o.onSuccess = on_ok;
    o.onFailure = on_fail;
    o.context = ctx;
    const int rc = MQTTAsync_disconnect(c->client, &o);
    if (rc != MQTTASYNC_SUCCESS) {
        QV_LOG_ERROR("Failed to start disconnect, return code %d,errno:%d", rc, errno);
        MQTTAsync_destroy(&c->client);
        c->client = nullptr;
    }
    return rc;
}

int qvmsgs_destroy_context(qvmsgs_conn *c) {
    if (!c) {
        QV_LOG_ERROR("para is null");
        return -1;
    }
    if (c->client) {
        MQTTAsync_destroy(&c->client);
        c->client = nullptr;
    }
    return 0;
}

int qvmsgs_subscribe_topic(qvmsgs_conn *c, const char *topic, int qos, MQTTAsync_onSuccess *on_ok,
                           MQTTAsync_onFailure *on_fail, void *ctx) {
    if (!c || !c->client || !topic) return -1;
    MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
    o.onSuccess = on_ok;
    o.onFailure = on_fail;
    o.context = ctx;
    const int rc = MQTTAsync_subscribe(c->client, topic, qos, &o);
    if (rc != MQTTASYNC_SUCCESS) QV_LOG_ERROR("msgs_subscribe_topic start failed, rc = %d", rc);
    return rc;
}

int qvmsgs_unsubscribe_topic(qvmsgs_conn *c, const char *topic) {
    if (!c || !c->client || !topic) return -1;
    MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
    return MQTTAsync_unsubscribe(c->client, topic, &o);
}

int qvmsgs_publish_message(qvmsgs_conn *c, const char *topic, const char *text, int qos,
                           MQTTAsync_onSuccess *on_ok, MQTTAsync_onFailure *on_fail, void *ctx) {
    if (!c || !c->client || !topic || !text) return -1;
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char *>(text);
    m.payloadlen = static_cast<int>(std::strlen(text));
    m.qos = qos;
    m.retained = 0;
    MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
    o.onSuccess = on_ok;
    o.onFailure = on_fail;
    o.context = ctx;
    const int rc = MQTTAsync_sendMessage(c->client, topic, &m, &o);
    if (rc != MQTTASYNC_SUCCESS) QV_LOG_ERROR("Failed to publish, return code %d,errno:%d", rc, errno);
    return rc;
}
