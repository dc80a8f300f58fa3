#include "handlers.h"

#include <fstream>

#include "files_state.h"
#include "handlers_device_user.h"
#include "handlers_fileops.h"
#include "handlers_push.h"
#include "handlers_upload.h"

namespace qvemu {

void install_default_handlers(Device &device) {
    install_link_handlers(device);
    install_device_handlers(device);
    install_tag_handlers(device);
    install_file_type_handlers(device);
    install_device_user_handlers(device);
    install_listing_handlers(device);
    install_fileop_handlers(device);
    install_upload_handlers(device);
    install_push_handler(device);
    // Last: the hidden space locks 185 and the recycle bin takes over 167.
    install_admin_family(device);
}

json_object *request_args(const Request &req) {
    json_object *first = req.data && json_object_is_type(req.data, json_type_array)
                             ? json_object_array_get_idx(req.data, 0)
                             : req.data;
    return first && json_object_is_type(first, json_type_object) ? first : nullptr;
}

json_object *arg(const Request &req, const char *name) {
    json_object *v = nullptr;
    json_object *first = request_args(req);
    if (first) json_object_object_get_ex(first, name, &v);
    return v;
}

std::string arg_str(const Request &req, const char *name) {
    json_object *v = arg(req, name);
    return v ? json_object_get_string(v) : "";
}

int64_t arg_i64(const Request &req, const char *name, int64_t dflt) {
    json_object *v = arg(req, name);
    return v ? json_object_get_int64(v) : dflt;
}

bool leaves_root(const std::string &path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

Reply error_reply(int code) {
    Reply r;
    r.error = code;
    return r;
}

std::string json_text(json_object *o) {
    return json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
}

bool read_whole_file(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    out->assign(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    in.seekg(0);
    return static_cast<bool>(in.read(out->data(), static_cast<std::streamsize>(out->size())));
}

}  // namespace qvemu
