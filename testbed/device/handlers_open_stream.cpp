// Open-stream reads (106 on a fresh connection): the file's bytes from the requested offset, then a close.
#include <fstream>

#include "device.h"
#include "handlers.h"

namespace qvemu {

void install_open_stream_handler(Device &device) {
    device.set_handler(106, [](Device &dev, const Request &req) {
        Reply r;
        json_object *item = request_args(req);
        json_object *path = nullptr, *offset = nullptr;
        if (!item || !json_object_object_get_ex(item, "path", &path)) {
            r.error = 10003;
            return r;
        }
        std::string bytes;
        if (!read_whole_file(dev.root() + "/" + json_object_get_string(path), &bytes)) {
            r.error = 13115;
            return r;
        }
        uint64_t from = json_object_object_get_ex(item, "offset", &offset)
                            ? static_cast<uint64_t>(json_object_get_int64(offset))
                            : 0;
        if (from > bytes.size()) from = bytes.size();
        r.file_data = bytes.substr(from);
        r.file_offset = from;
        return r;
    });
}

}  // namespace qvemu
