// QR-code login. The showing side asks the service for an auth URL (shown as a QR code) and listens on the
// auth id's topic over TLS, where the phone sends the user's info and then the auth code; the scanning side
// reads, answers and confirms a scanned URL. Results: 0; -1 for a missing argument, a failed subscription or
// a device type that does not match; otherwise the service's mapped code (20000 for every local failure).
//
// Whoever may publish on the auth id's topic can hand this client an auth code: the protocol authenticates
// the phone only through the shared broker login.
#pragma once

#include <cstdint>

#include "messaging/qvsl_http.h"

struct QVSLRA {
    int32_t platform_type;
    int32_t os;
    qvsl_http_data request;
};

struct qvsl_user_info {
    char nick_name[65];
    char user_image[1025];
};

using qvsl_auth_listener = void (*)(const char *auth_code);
using qvsl_user_info_listener = void (*)(const char *nick_name, const char *user_image);

int qvsl_init(const char *app_id, const char *app_key, int device_type);
// One request context at a time: a second create before the release is refused with -1.
int qvsl_QVSLRA_create(QVSLRA **context, int platform_type, int os, const char *cert_dir);
int qvsl_set_auth_listener(const void *handle, qvsl_auth_listener listener);
int qvsl_set_user_info_listener(const void *handle, qvsl_user_info_listener listener);
int qvsl_request_auth_start(QVSLRA *context, char *auth_url_out, char *auth_id_out, uint32_t *expiry_out);
void qvsl_request_auth_stop(QVSLRA *context);
void qvsl_QVSLRA_release(QVSLRA *context);

int qvsl_get_request_info(const char *url, int32_t out[2]);
int qvsl_send_user_info(const char *url, const qvsl_user_info *user_info);
int qvsl_send_auth_code(const char *url, const char *auth_code);
// The device-type check of a scanned URL: 0 and the URL cut before "deviceType=" in out (1025 bytes), or -1
// when the URL names another device type.
int check_url_device_type(const char *url, char *out);

// Messaging companion.
int qvsl_mqtt_init(const char *cert_dir);
int qvsl_mqtt_subscribe_topic(const char *auth_id);
char *p2p_msg_listener_cb(const char *services);
void qvsl_mqtt_destory();
// The TLS broker, "ssl://host:port" (at most 32 characters); QV_MQTT_HOST and QV_MQTT_TLS_PORT by default.
void qvsl_mqtt_set_broker_uri(const char *uri);
