// Folder listings (101, 185), search (113 in one body, 117 streamed in batches) and the upload check
// (108), all over the device's served folder.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files_state.h"
#include "handlers.h"

namespace qvemu {

namespace {

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

constexpr int kNotFound = 10202;
constexpr size_t kSearchBatch = 2;  // entries per streamed search chunk

// Device paths stay under the served folder.
bool safe_path(const std::string &p) {
    return !leaves_root(p);
}

std::string join(const std::string &dir, const std::string &name) {
    if (dir.empty() || dir.back() != '/') return dir + "/" + name;
    return dir + name;
}

struct Entry {
    std::string name, path;  // device path
    bool folder = false;
    int64_t size = 0;
    int64_t mtime = 0;
};

// The folder's entries by name; false when it is no folder.
bool read_folder(const std::string &root, const std::string &dev_path, std::vector<Entry> &out) {
    DIR *d = ::opendir((root + dev_path).c_str());
    if (!d) return false;
    while (dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        Entry en;
        en.name = name;
        en.path = join(dev_path.empty() ? "/" : dev_path, name);
        struct stat st {};
        if (::stat((root + en.path).c_str(), &st) != 0) continue;
        en.folder = S_ISDIR(st.st_mode);
        en.size = en.folder ? 0 : static_cast<int64_t>(st.st_size);
        en.mtime = static_cast<int64_t>(st.st_mtime);
        out.push_back(en);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return true;
}

void walk(const std::string &root, const std::string &dev_path, const std::string &needle,
          std::vector<Entry> &hits) {
    std::vector<Entry> entries;
    if (!read_folder(root, dev_path, entries)) return;
    for (const auto &e : entries) {
        if (e.name.find(needle) != std::string::npos) hits.push_back(e);
        if (e.folder) walk(root, e.path, needle, hits);
    }
}

Reply not_found() {
    Reply r;
    r.error = kNotFound;
    return r;
}

Reply with_data(json_object *data) {
    Json owned(data);
    Reply r;
    r.data = json_text(data);
    return r;
}

}  // namespace

Reply folder_listing(Device &device, const Request &req) {
    std::string path = arg_str(req, "path");
    if (path.empty()) path = "/";
    std::vector<Entry> entries;
    if (!safe_path(path) || !read_folder(device.root(), path, entries)) return not_found();
    const int64_t total = static_cast<int64_t>(entries.size());
    const int64_t offset =
        std::clamp<int64_t>(arg(req, "offset") ? json_object_get_int64(arg(req, "offset")) : 0, 0, total);
    int64_t length = arg(req, "length") ? json_object_get_int64(arg(req, "length")) : total;
    length = std::clamp<int64_t>(length, 0, total - offset);
    const int bucket = arg(req, "srcBucketId") ? json_object_get_int(arg(req, "srcBucketId")) : 0;
    json_object *data = json_object_new_object();
    json_object *list = json_object_new_array();
    for (int64_t i = offset; i < offset + length; ++i) {
        const Entry &e = entries[static_cast<size_t>(i)];
        json_object *o = json_object_new_object();
        json_object_object_add(o, "name", json_object_new_string(e.name.c_str()));
        json_object_object_add(o, "isFolder", json_object_new_int(e.folder ? 1 : 0));
        json_object_object_add(o, "size", json_object_new_int64(e.size));
        json_object_object_add(o, "path", json_object_new_string(e.path.c_str()));
        json_object_object_add(o, "data", json_object_new_int64(e.mtime & 0xffffffff));
        json_object_object_add(o, "isStore", json_object_new_int(0));
        json_object_object_add(o, "bucket_id", json_object_new_int(bucket));
        json_object_object_add(o, "type", json_object_new_int(0));
        json_object_array_add(list, o);
    }
    json_object_object_add(data, "count", json_object_new_int(static_cast<int>(length)));
    json_object_object_add(data, "totalCount", json_object_new_int(static_cast<int>(total)));
    json_object_object_add(data, "filelist", list);
    return with_data(data);
}

namespace {

using TagMap = std::map<std::string, std::vector<std::string>>;

json_object *search_entry(const Entry &e, const TagMap &tags) {
    json_object *o = json_object_new_object();
    json_object_object_add(o, "fileName", json_object_new_string(e.name.c_str()));
    json_object_object_add(o, "filePath", json_object_new_string(e.path.c_str()));
    json_object_object_add(o, "isFolder", json_object_new_int(e.folder ? 1 : 0));
    json_object_object_add(o, "fileSize", json_object_new_int64(e.size));
    json_object_object_add(o, "fileData", json_object_new_int(static_cast<int32_t>(e.mtime)));
    json_object_object_add(o, "bucket_id", json_object_new_int(0));
    json_object_object_add(o, "isStore", json_object_new_int(0));
    json_object_object_add(o, "type", json_object_new_int(0));
    json_object *list = json_object_new_array();
    if (const auto it = tags.find(e.path); it != tags.end()) {
        for (const auto &t : it->second) {
            json_object *tag = json_object_new_object();
            json_object_object_add(tag, "tagName", json_object_new_string(t.c_str()));
            json_object_array_add(list, tag);
        }
    }
    json_object_object_add(o, "tagList", list);
    return o;
}

// One search batch: [{seq, status, curCount, fileList}].
std::string batch(int32_t seq, int status, const std::vector<Entry> &hits, size_t from, size_t to,
                  const TagMap &tags = {}) {
    Json arr(json_object_new_array());
    json_object *o = json_object_new_object();
    json_object_object_add(o, "seq", json_object_new_int(seq));
    json_object_object_add(o, "status", json_object_new_int(status));
    json_object_object_add(o, "curCount", json_object_new_int(static_cast<int>(to - from)));
    json_object *list = json_object_new_array();
    for (size_t i = from; i < to; ++i) json_object_array_add(list, search_entry(hits[i], tags));
    json_object_object_add(o, "fileList", list);
    json_object_array_add(arr.get(), o);
    return json_text(arr.get());
}

Reply search(Device &device, const Request &req) {
    std::string path = arg_str(req, "searchPath");
    if (path.empty()) path = "/";
    if (!safe_path(path)) return not_found();
    std::vector<Entry> hits;
    walk(device.root(), path, arg_str(req, "searchString"), hits);
    Reply r;
    r.data = batch(req.seq, 1, hits, 0, hits.size());
    return r;
}

// Streamed: batches of kSearchBatch entries with status 1, then a closing batch with status 2.
Reply search_multi(Device &device, const Request &req) {
    std::string needle;
    if (json_object *keys = arg(req, "search_key_list"); keys && json_object_array_length(keys) > 0) {
        json_object *k = nullptr;
        if (json_object_object_get_ex(json_object_array_get_idx(keys, 0), "search_key", &k))
            needle = json_object_get_string(k);
    }
    std::string path = "/";
    if (json_object *where = arg(req, "search_path_info")) {
        json_object *p = nullptr;
        if (json_object_object_get_ex(where, "search_path", &p)) path = json_object_get_string(p);
    }
    if (!safe_path(path)) return not_found();
    std::vector<Entry> hits;
    walk(device.root(), path, needle, hits);
    const auto st = files_state(device);
    TagMap tags;
    Reply r;
    {
        std::lock_guard<std::mutex> lk(st->mu);
        tags = st->tags;
        r.chunk_interval_ms = st->search_pace_ms;
        if (json_object *keys = request_args(req))
            st->search_requests.push_back(json_object_to_json_string_ext(keys, JSON_C_TO_STRING_PLAIN));
    }
    for (size_t from = 0; from < hits.size(); from += kSearchBatch)
        r.chunks.push_back(batch(req.seq, 1, hits, from, std::min(hits.size(), from + kSearchBatch), tags));
    r.chunks.push_back(batch(req.seq, 2, hits, 0, 0));
    return r;
}

// What the device already holds of the target: nothing (status 0), a prefix (the rest is missing) or all.
Reply upload_check(Device &device, const Request &req) {
    const std::string path = arg_str(req, "path");
    const int64_t want = arg(req, "fileSize") ? json_object_get_int64(arg(req, "fileSize")) : 0;
    struct stat st {};
    json_object *data = json_object_new_object();
    if (!safe_path(path) || ::stat((device.root() + path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        json_object_object_add(data, "status", json_object_new_int(0));
        return with_data(data);
    }
    const int64_t have = static_cast<int64_t>(st.st_size);
    json_object_object_add(data, "status", json_object_new_int(1));
    json_object *ranges = json_object_new_array();
    if (have < want) {
        json_object *range = json_object_new_object();
        json_object_object_add(range, "start", json_object_new_int64(have));
        json_object_object_add(range, "end", json_object_new_int64(want));
        json_object_array_add(ranges, range);
    }
    json_object_object_add(data, "count",
                           json_object_new_int(static_cast<int>(json_object_array_length(ranges))));
    json_object_object_add(data, "incompleteInfo", ranges);
    return with_data(data);
}

}  // namespace

void install_listing_handlers(Device &device) {
    device.set_handler(101, folder_listing);
    device.set_handler(185, folder_listing);  // the hidden-space family adds its lock
    device.set_handler(113, search);
    device.set_handler(117, search_multi);
    device.set_handler(108, upload_check);
}

}  // namespace qvemu
