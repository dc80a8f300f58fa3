#include <algorithm>

#include "files_state.h"
#include "handlers.h"
#include "json_read.h"

namespace qvemu {

namespace {

std::mutex g_mu;
std::map<const Device *, std::shared_ptr<FilesState>> g_states;

std::vector<std::string> tag_names(json_object *list) {
    std::vector<std::string> out;
    if (list == nullptr || !json_object_is_type(list, json_type_array)) return out;
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
        json_object *name = nullptr;
        if (json_object_object_get_ex(json_object_array_get_idx(list, i), "tagName", &name))
            out.push_back(json_object_get_string(name));
    }
    return out;
}

}  // namespace

std::shared_ptr<FilesState> files_state(const Device &device) {
    std::lock_guard<std::mutex> lk(g_mu);
    auto &s = g_states[&device];
    if (!s) s = std::make_shared<FilesState>();
    return s;
}

void install_tag_handlers(Device &device) {
    auto st = std::make_shared<FilesState>();
    {
        // A device at the address of an earlier one starts clean.
        std::lock_guard<std::mutex> lk(g_mu);
        g_states[&device] = st;
    }
    device.set_handler(154, [st](Device &, const Request &req) {
        const std::string path = arg_str(req, "path");
        if (path.empty() || leaves_root(path)) return error_reply(10002);
        std::lock_guard<std::mutex> lk(st->mu);
        st->tags[path] = tag_names(arg(req, "tagList"));
        return Reply{};
    });
    device.set_handler(156, [st](Device &, const Request &req) {
        json_object *files = arg(req, "FileListInfo");
        if (files == nullptr || !json_object_is_type(files, json_type_array)) return error_reply(10002);
        const auto names = tag_names(arg(req, "tagList"));
        std::lock_guard<std::mutex> lk(st->mu);
        for (size_t i = 0; i < json_object_array_length(files); ++i) {
            json_object *p = nullptr;
            if (!json_object_object_get_ex(json_object_array_get_idx(files, i), "filePath", &p)) continue;
            const std::string path = json_object_get_string(p);
            if (leaves_root(path)) continue;
            auto &have = st->tags[path];
            for (const auto &n : names)
                if (std::find(have.begin(), have.end(), n) == have.end()) have.push_back(n);
        }
        return Reply{};
    });
}

}  // namespace qvemu
