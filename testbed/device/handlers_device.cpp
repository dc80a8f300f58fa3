// Header-only device queries: 100 storage (the served folder's file system) and 150 user list.
#include <sys/statvfs.h>

#include "handlers.h"

namespace qvemu {

namespace {
struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};

Reply storage(Device &device, const Request &) {
    uint64_t size = 0, avail = 0;
    struct statvfs st {};
    if (::statvfs(device.root().c_str(), &st) == 0) {
        size = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
        avail = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    }
    std::unique_ptr<json_object, JsonPut> data(json_object_new_object());
    json_object *list = json_object_new_array();
    json_object *disk = json_object_new_object();
    json_object_object_add(disk, "displayName", json_object_new_string("Disk 1"));
    json_object_object_add(disk, "path", json_object_new_string("/"));
    json_object_object_add(disk, "size", json_object_new_int64(static_cast<int64_t>(size)));
    json_object_object_add(disk, "avSize", json_object_new_int64(static_cast<int64_t>(avail)));
    json_object_object_add(disk, "diskType", json_object_new_int(0));
    json_object_object_add(disk, "fsType", json_object_new_string("ext4"));
    json_object_object_add(disk, "systemSpaceSize", json_object_new_int64(0));
    json_object_array_add(list, disk);
    json_object_object_add(data.get(), "diskInfoList", list);
    Reply r;
    r.data = json_text(data.get());
    return r;
}

// The reply "data" is an array with one element per user.
Reply user_list(Device &device, const Request &) {
    std::unique_ptr<json_object, JsonPut> data(json_object_new_array());
    for (const auto &u : device.users()) {
        json_object *e = json_object_new_object();
        json_object_object_add(e, "nick_name", json_object_new_string(u.nick_name.c_str()));
        json_object_object_add(e, "user_id", json_object_new_int(u.user_id));
        json_object_object_add(e, "isPublic", json_object_new_boolean(u.is_public));
        json_object_array_add(data.get(), e);
    }
    Reply r;
    r.data = json_text(data.get());
    return r;
}
}  // namespace

void install_device_handlers(Device &device) {
    device.set_handler(100, storage);
    device.set_handler(150, user_list);
}

}  // namespace qvemu
