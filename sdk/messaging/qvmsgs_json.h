// The JSON of p2p requests and "getResp" replies.
#pragma once

#include <cstdint>

struct qvmsgs_p2p_task {
    char *services = nullptr;
    char *resp_services = nullptr;
    char *fromId = nullptr;
    int64_t msgId = 0;
    int error_code = 0;
    char *error_msg = nullptr;
    char resp_topic[128] = {};
};

// Parses a request: "fromId" (string), "msgId" (integer) and "services" are required. NULL otherwise.
qvmsgs_p2p_task *qvmsgs_parse_json_to_p2p_task(const char *text);
void qvmsgs_free_p2p_task(qvmsgs_p2p_task *task);
// The "services" text of a broadcast message: a string as it is, another value as its JSON text; NULL when
// the payload is not JSON or has no "services". malloc'ed.
char *qvmsgs_parse_serviceinfo_by_bc(const char *text);
// The reply: msgType "getResp", fromId (tail of the listener topic after its last "@", else its last "/"),
// fromType, msgId, msgDate (ms), error_code, error_msg, services (a string). malloc'ed; NULL on failure.
char *qvmsgs_make_response_p2p_message_json(int from_type, int64_t msg_id, const char *listener_topic,
                                            const char *resp_services, int error_code, const char *error_msg);
char *qvmsgs_make_p2p_message_json(const char *from_id, int from_type, int64_t msg_id, const char *services);
// The text after the last "@" of a topic, else after its last "/", else the whole topic.
const char *qvmsgs_topic_tail(const char *topic);
