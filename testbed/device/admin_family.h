// What the administration family's handler files share: the state handle, the device's codes and the
// reply shapes. Each file installs one command family over the one AdminState.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "handlers.h"
#include "handlers_admin.h"
#include "json_read.h"

namespace qvemu::admin {

using namespace js;

// Device codes of these commands.
constexpr int kHideAlreadyOn = 10013;
constexpr int kHidePwdAlreadySet = 10015;
constexpr int kWrongSmsCode = 10016;
constexpr int kWrongPassword = 10017;
constexpr int kNotUnlocked = 10019;
constexpr int kUserNotFound = 13002;
constexpr int kDataError = 14000;

using State = std::shared_ptr<AdminState>;
using Lock = std::lock_guard<std::mutex>;

inline Reply text_reply(json_object *data) {
    Reply r;
    r.data = json_text(data);
    json_object_put(data);
    return r;
}
// "data": [elem]
inline Reply first(Obj elem) {
    json_object *arr = json_object_new_array();
    json_object_array_add(arr, elem.o);
    return text_reply(arr);
}
// "data": {...}
inline Reply object(Obj o) {
    return text_reply(o.o);
}
inline Reply none() {
    return Reply{};
}
inline std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A token the device did not issue, when the test named the issued ones (st->mu held).
inline bool foreign_token(const AdminState &st, const Request &req) {
    return !st.issued_tokens.empty() && st.issued_tokens.count(req.token) == 0;
}

void install_admin(Device &d, const State &st);
void install_settings(Device &d, const State &st);
void install_hidden_space(Device &d, const State &st);
void install_timers(Device &d, const State &st);
void install_shares(Device &d, const State &st);
void install_recycle(Device &d, const State &st);
void install_account(Device &d, const State &st);

}  // namespace qvemu::admin
