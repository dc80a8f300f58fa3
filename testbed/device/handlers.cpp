#include "handlers.h"

#include <fstream>

#include "handlers_device_user.h"
#include "handlers_fileops.h"
#include "handlers_upload.h"

namespace qvemu {

void install_default_handlers(Device &device) {
    install_link_handlers(device);
    install_device_handlers(device);
    install_admin_family(device);
    install_file_type_handlers(device);
    install_device_user_handlers(device);
    install_listing_handlers(device);
    install_fileop_handlers(device);
    install_upload_handlers(device);
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
