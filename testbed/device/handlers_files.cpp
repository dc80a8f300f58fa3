// File attributes (105, with the path's tags and a media record for image, video and audio files), listings
// by file type (120, 158, 124 under a path, 123 by album folder) and the removal of a type listing under a
// folder (125), recent records (151) and one aggregation's entries (161), type totals (121) and user space
// (148), served from the device's root folder. Recent records are newest first: a folder holding two files
// or more is one aggregation of them, numbered as its album folder (1 is the first folder), whose entries
// 161 lists; a folder with one file gives a single-file record. A device path "/a/b" is root + "/a/b";
// every file is in bucket 1. File types are the emulator's own classification by extension: 1 image,
// 2 video, 3 audio, 4 other.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files_state.h"
#include "handlers.h"
#include "json_read.h"

namespace qvemu {

namespace {
namespace fs = std::filesystem;

struct JsonPut {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

json_object *first_request(const Request &req) {
    if (req.data == nullptr || !json_object_is_type(req.data, json_type_array) ||
        json_object_array_length(req.data) == 0)
        return nullptr;
    json_object *e = json_object_array_get_idx(req.data, 0);
    return json_object_is_type(e, json_type_object) ? e : nullptr;
}

using js::get;

// The local path of a device path; empty when it tries to leave the root.
std::string local_path(const Device &device, const std::string &path) {
    if (leaves_root(path)) return {};
    return device.root() + (path.empty() || path[0] != '/' ? "/" : "") + path;
}

int type_of(const fs::path &p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".png" || ext == ".heic") return 1;
    if (ext == ".mp4" || ext == ".mov" || ext == ".mkv") return 2;
    if (ext == ".mp3" || ext == ".flac" || ext == ".m4a") return 3;
    return 4;
}

struct Found {
    std::string device_path;
    std::string name;
    int64_t size;
    int64_t mtime;
};

// Regular files under the root whose type is in `types`, by device path.
std::vector<Found> files_of(const Device &device, const std::set<int> &types) {
    std::vector<Found> out;
    std::error_code ec;
    const fs::path root(device.root());
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec) || types.count(type_of(it->path())) == 0) continue;
        struct stat st {};
        if (::stat(it->path().c_str(), &st) != 0) continue;
        out.push_back({"/" + fs::relative(it->path(), root, ec).string(), it->path().filename().string(),
                       static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtime)});
    }
    std::sort(out.begin(), out.end(),
              [](const Found &a, const Found &b) { return a.device_path < b.device_path; });
    return out;
}

// Whether 125 took files of `type` under a folder holding `device_path` out of the type listings.
bool removed_from_type_lists(const FilesState &st, int type, const std::string &device_path) {
    for (const auto &[t, folder] : st.removed_type_lists) {
        if (t != type) continue;
        if (folder == "/" || device_path.compare(0, folder.size() + 1, folder + "/") == 0) return true;
    }
    return false;
}

// files_of as the type listings show them: without what 125 removed.
std::vector<Found> listed_by_type(const Device &device, const std::set<int> &types) {
    std::vector<Found> all = files_of(device, types);
    const auto st = files_state(device);
    std::lock_guard<std::mutex> lk(st->mu);
    if (st->removed_type_lists.empty()) return all;
    std::vector<Found> out;
    for (Found &f : all)
        if (!removed_from_type_lists(*st, type_of(f.device_path), f.device_path)) out.push_back(std::move(f));
    return out;
}

void put_text(json_object *o, const char *key, const char *value) {
    json_object_object_add(o, key, json_object_new_string(value));
}

// The media record of a fixture by its type: fixed figures, the photo taken at a known WGS-84 point.
void add_media(json_object *a, int type) {
    json_object *m = json_object_new_object();
    switch (type) {
        case 1:
            json_object_object_add(a, "mediaType", json_object_new_int(3));
            json_object_object_add(m, "width", json_object_new_int(4000));
            json_object_object_add(m, "height", json_object_new_int(3000));
            json_object_object_add(m, "photoTime", json_object_new_int64(1556975220));
            put_text(m, "vendorName", "Maker");
            put_text(m, "cameraType", "Cam 1");
            put_text(m, "apertureValue", "f/1.8");
            put_text(m, "exposureTime", "1/120");
            put_text(m, "isoValue", "100");
            put_text(m, "exposureBiasVal", "0");
            put_text(m, "focalLength", "4.2mm");
            put_text(m, "maxApetureVal", "1.8");
            put_text(m, "meterMode", "pattern");
            put_text(m, "flashlightOn", "off");
            put_text(m, "GPSVersionId", "2.2.0.0");
            json_object_object_add(m, "GPSLatitude", json_object_new_double(39.908823));
            json_object_object_add(m, "GPSLongtitude", json_object_new_double(116.397470));
            json_object_object_add(a, "imageMediaInfo", m);
            return;
        case 2:
            json_object_object_add(a, "mediaType", json_object_new_int(1));
            json_object_object_add(m, "width", json_object_new_int(1920));
            json_object_object_add(m, "height", json_object_new_int(1080));
            json_object_object_add(m, "bitrate", json_object_new_int(8000));
            put_text(m, "encodeType", "h264");
            json_object_object_add(m, "durationTime", json_object_new_int64(61));
            json_object_object_add(a, "videoMediaInfo", m);
            return;
        case 3:
            json_object_object_add(a, "mediaType", json_object_new_int(2));
            json_object_object_add(m, "durationTime", json_object_new_int64(215));
            json_object_object_add(m, "bitrate", json_object_new_int(320));
            put_text(m, "songName", "Song");
            put_text(m, "albumName", "Album");
            put_text(m, "artistName", "Artist");
            put_text(m, "encodeType", "mp3");
            json_object_object_add(a, "audioMediaInfo", m);
            return;
        default:
            json_object_put(m);
            json_object_object_add(a, "mediaType", json_object_new_int(0));
    }
}

Reply attributes(Device &device, const Request &req) {
    json_object *q = first_request(req);
    json_object *path = get(q, "path");
    if (path == nullptr) return error_reply(10002);
    const std::string local = local_path(device, json_object_get_string(path));
    struct stat st {};
    if (local.empty() || ::stat(local.c_str(), &st) != 0) return error_reply(10008);
    Json data(json_object_new_array());
    json_object *a = json_object_new_object();
    json_object_object_add(a, "fileSize", json_object_new_int64(S_ISDIR(st.st_mode) ? 0 : st.st_size));
    json_object_object_add(a, "data", json_object_new_int64(st.st_mtime));
    json_object_object_add(a, "mode", json_object_new_int(static_cast<int32_t>(st.st_mode)));
    json_object_object_add(a, "nlink", json_object_new_int(static_cast<int32_t>(st.st_nlink)));
    json_object_object_add(a, "ino", json_object_new_int(static_cast<int32_t>(st.st_ino)));
    json_object_object_add(a, "dev", json_object_new_int(static_cast<int32_t>(st.st_dev)));
    json_object_object_add(a, "rdev", json_object_new_int(static_cast<int32_t>(st.st_rdev)));
    json_object_object_add(a, "uid", json_object_new_int(static_cast<int32_t>(st.st_uid)));
    json_object_object_add(a, "gid", json_object_new_int(static_cast<int32_t>(st.st_gid)));
    json_object_object_add(a, "blksize", json_object_new_int(static_cast<int32_t>(st.st_blksize)));
    json_object_object_add(a, "blocks", json_object_new_int(static_cast<int32_t>(st.st_blocks)));
    json_object_object_add(a, "atime", json_object_new_int64(st.st_atime));
    json_object_object_add(a, "ctime", json_object_new_int64(st.st_ctime));
    int folders = 0, files = 0;
    if (S_ISDIR(st.st_mode)) {
        std::error_code ec;
        for (auto it = fs::directory_iterator(local, ec); !ec && it != fs::directory_iterator();
             it.increment(ec))
            (it->is_directory(ec) ? folders : files) += 1;
    }
    json_object_object_add(a, "totalFolderCount", json_object_new_int(folders));
    json_object_object_add(a, "totalFileCount", json_object_new_int(files));
    json_object *tags = json_object_new_array();
    {
        const auto st = files_state(device);
        std::lock_guard<std::mutex> lk(st->mu);
        const auto it = st->tags.find(json_object_get_string(path));
        if (it != st->tags.end()) {
            for (const auto &t : it->second) {
                json_object *o = json_object_new_object();
                json_object_object_add(o, "tagName", json_object_new_string(t.c_str()));
                json_object_array_add(tags, o);
            }
        }
    }
    json_object_object_add(a, "tagList", tags);
    if (!S_ISDIR(st.st_mode)) add_media(a, type_of(local));
    json_object_array_add(data.get(), a);
    Reply r;
    r.data = json_text(data.get());
    return r;
}

// 120 asks one "fileType", 158 a "typeList"; both page with "offset" and "length".
Reply type_list(Device &device, const Request &req) {
    json_object *q = first_request(req);
    if (q == nullptr) return error_reply(10002);
    std::set<int> types;
    if (json_object *list = get(q, "typeList"); list && json_object_is_type(list, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(list); ++i)
            types.insert(json_object_get_int(json_object_array_get_idx(list, i)));
    } else {
        types.insert(json_object_get_int(get(q, "fileType")));
    }
    const auto all = listed_by_type(device, types);
    const size_t offset = static_cast<size_t>(std::max(0, json_object_get_int(get(q, "offset"))));
    const int asked = json_object_get_int(get(q, "length"));
    const size_t length = asked > 0 ? static_cast<size_t>(asked) : all.size();
    Json data(json_object_new_object());
    json_object *list = json_object_new_array();
    for (size_t i = offset; i < all.size() && i < offset + length; ++i) {
        json_object *e = json_object_new_object();
        json_object_object_add(e, "size", json_object_new_int64(all[i].size));
        json_object_object_add(e, "data", json_object_new_int64(static_cast<uint32_t>(all[i].mtime)));
        json_object_object_add(e, "isFolder", json_object_new_int(0));
        json_object_object_add(e, "name", json_object_new_string(all[i].name.c_str()));
        json_object_object_add(e, "path", json_object_new_string(all[i].device_path.c_str()));
        json_object_object_add(e, "bucket_id", json_object_new_int(1));
        json_object_object_add(e, "isStore", json_object_new_int(0));
        json_object_array_add(list, e);
    }
    json_object_object_add(data.get(), "count",
                           json_object_new_int(static_cast<int32_t>(json_object_array_length(list))));
    json_object_object_add(data.get(), "totalCount", json_object_new_int(static_cast<int32_t>(all.size())));
    json_object_object_add(data.get(), "filelist", list);
    Reply r;
    r.data = json_text(data.get());
    return r;
}

Reply class_totals(Device &device, const Request &req) {
    json_object *q = first_request(req);
    if (q == nullptr) return error_reply(10002);
    const auto all = listed_by_type(device, {json_object_get_int(get(q, "fileType"))});
    int64_t total = 0;
    for (const auto &f : all) total += f.size;
    Json data(json_object_new_object());
    json_object_object_add(data.get(), "totalCount", json_object_new_int(static_cast<int32_t>(all.size())));
    json_object_object_add(data.get(), "totalSize", json_object_new_int64(total));
    Reply r;
    r.data = json_text(data.get());
    return r;
}

Reply user_space(Device &device, const Request &) {
    struct statvfs sv {};
    int64_t total = 0, avail = 0;
    if (::statvfs(device.root().c_str(), &sv) == 0) {
        total = static_cast<int64_t>(sv.f_blocks) * static_cast<int64_t>(sv.f_frsize);
        avail = static_cast<int64_t>(sv.f_bavail) * static_cast<int64_t>(sv.f_frsize);
    }
    int64_t used = 0;
    for (const auto &f : files_of(device, {1, 2, 3, 4})) used += f.size;
    const auto users = device.users();
    Json data(json_object_new_array());
    json_object *u = json_object_new_object();
    json_object_object_add(u, "userName",
                           json_object_new_string(users.empty() ? "admin" : users[0].nick_name.c_str()));
    json_object_object_add(u, "usedSpace", json_object_new_int64(used));
    json_object_object_add(u, "allocateSpace", json_object_new_int64(0));
    json_object_object_add(u, "diskTotalSize", json_object_new_int64(total));
    json_object_object_add(u, "diskFreeSize", json_object_new_int64(avail));
    json_object_object_add(u, "systemSpaceSize", json_object_new_int64(0));
    json_object_object_add(u, "limitSet", json_object_new_int(0));
    json_object_array_add(data.get(), u);
    Reply r;
    r.data = json_text(data.get());
    return r;
}

struct Page {
    size_t offset = 0;
    size_t length = 0;
};

Page page_of(json_object *q, size_t total) {
    Page p;
    p.offset = static_cast<size_t>(std::max(0, json_object_get_int(get(q, "offset"))));
    const int asked = json_object_get_int(get(q, "length"));
    p.length = asked > 0 ? static_cast<size_t>(asked) : total;
    return p;
}

json_object *file_entry(const Found &f) {
    json_object *e = json_object_new_object();
    json_object_object_add(e, "size", json_object_new_int64(f.size));
    json_object_object_add(e, "data", json_object_new_int64(static_cast<uint32_t>(f.mtime)));
    json_object_object_add(e, "isFolder", json_object_new_int(0));
    json_object_object_add(e, "name", json_object_new_string(f.name.c_str()));
    json_object_object_add(e, "path", json_object_new_string(f.device_path.c_str()));
    json_object_object_add(e, "bucket_id", json_object_new_int(1));
    json_object_object_add(e, "isStore", json_object_new_int(0));
    return e;
}

Reply page_reply(json_object *data) {
    Reply r;
    r.data = json_text(data);
    json_object_put(data);
    return r;
}

// 124: the files of one type under "path".
Reply type_list_under(Device &device, const Request &req) {
    json_object *q = first_request(req);
    json_object *path = get(q, "path");
    if (path == nullptr) return error_reply(10002);
    std::string prefix = json_object_get_string(path);
    if (leaves_root(prefix)) return error_reply(10008);
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    std::vector<Found> all;
    for (const Found &f : listed_by_type(device, {json_object_get_int(get(q, "fileType"))}))
        if (prefix == "/" || f.device_path.compare(0, prefix.size(), prefix) == 0) all.push_back(f);
    const Page pg = page_of(q, all.size());
    json_object *data = json_object_new_object();
    json_object *list = json_object_new_array();
    int64_t total_size = 0;
    for (const Found &f : all) total_size += f.size;
    for (size_t i = pg.offset; i < all.size() && i < pg.offset + pg.length; ++i)
        json_object_array_add(list, file_entry(all[i]));
    json_object_object_add(data, "count",
                           json_object_new_int(static_cast<int32_t>(json_object_array_length(list))));
    json_object_object_add(data, "totalCount", json_object_new_int(static_cast<int32_t>(all.size())));
    json_object_object_add(data, "totalSize", json_object_new_int64(total_size));
    json_object_object_add(data, "filelist", list);
    return page_reply(data);
}

// The files of the given types grouped by their folder, folders in path order; `by_type`: as the type
// listings show them.
std::vector<std::pair<std::string, std::vector<Found>>> albums_of(const Device &device,
                                                                  const std::set<int> &types, bool by_type) {
    // By folder, not by run: "/a/a.jpg", "/a/a/c.jpg", "/a/b.jpg" sort with another folder in between.
    std::map<std::string, std::vector<Found>> folders;
    for (Found &f : by_type ? listed_by_type(device, types) : files_of(device, types))
        folders[f.device_path.substr(0, std::max<size_t>(1, f.device_path.rfind('/')))].push_back(
            std::move(f));
    return {std::make_move_iterator(folders.begin()), std::make_move_iterator(folders.end())};
}

// 123: one album per folder holding files of the type, each with at most "childCount" files.
Reply albums(Device &device, const Request &req) {
    json_object *q = first_request(req);
    if (q == nullptr) return error_reply(10002);
    const auto all = albums_of(device, {json_object_get_int(get(q, "fileType"))}, true);
    const Page pg = page_of(q, all.size());
    const int child = std::max(0, json_object_get_int(get(q, "childCount")));
    json_object *data = json_object_new_object();
    json_object *list = json_object_new_array();
    for (size_t i = pg.offset; i < all.size() && i < pg.offset + pg.length; ++i) {
        const auto &[folder, files] = all[i];
        json_object *a = json_object_new_object();
        json_object_object_add(a, "path", json_object_new_string(folder.c_str()));
        json_object_object_add(a, "date", json_object_new_int64(static_cast<uint32_t>(files.front().mtime)));
        json_object_object_add(a, "bucket_id", json_object_new_int(1));
        json_object *fl = json_object_new_array();
        for (size_t k = 0; k < files.size() && k < static_cast<size_t>(child); ++k) {
            json_object *e = json_object_new_object();
            json_object_object_add(e, "path", json_object_new_string(files[k].device_path.c_str()));
            json_object_object_add(e, "date", json_object_new_int64(static_cast<uint32_t>(files[k].mtime)));
            json_object_object_add(e, "bucket_id", json_object_new_int(1));
            json_object_array_add(fl, e);
        }
        json_object_object_add(a, "count",
                               json_object_new_int(static_cast<int32_t>(json_object_array_length(fl))));
        json_object_object_add(a, "totalCount", json_object_new_int(static_cast<int32_t>(files.size())));
        json_object_object_add(a, "fileList", fl);
        json_object_array_add(list, a);
    }
    json_object_object_add(data, "count",
                           json_object_new_int(static_cast<int32_t>(json_object_array_length(list))));
    json_object_object_add(data, "totalCount", json_object_new_int(static_cast<int32_t>(all.size())));
    json_object_object_add(data, "albumList", list);
    return page_reply(data);
}

json_object *record_file(const Found &f) {
    json_object *e = json_object_new_object();
    json_object_object_add(e, "path", json_object_new_string(f.device_path.c_str()));
    json_object_object_add(e, "name", json_object_new_string(f.name.c_str()));
    json_object_object_add(e, "size", json_object_new_int64(f.size));
    json_object_object_add(e, "time", json_object_new_int64(f.mtime));
    json_object_object_add(e, "isDir", json_object_new_int(0));
    json_object_object_add(e, "bucketId", json_object_new_int(1));
    return e;
}

// One recent record: a single file, or the aggregation of a folder's files.
struct Record {
    std::vector<Found> files;  // newest first; the first is the record's own file
    int aggregate_id = 0;      // the folder's number (as 161 takes it), 0 for a single file
};

// Every recent record, newest first.
std::vector<Record> recent_records(const Device &device) {
    const auto folders = albums_of(device, {1, 2, 3, 4}, false);
    std::vector<Record> out;
    for (size_t i = 0; i < folders.size(); ++i) {
        Record r{folders[i].second, folders[i].second.size() > 1 ? static_cast<int>(i + 1) : 0};
        std::stable_sort(r.files.begin(), r.files.end(),
                         [](const Found &a, const Found &b) { return a.mtime > b.mtime; });
        out.push_back(std::move(r));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Record &a, const Record &b) { return a.files[0].mtime > b.files[0].mtime; });
    return out;
}

// A 151 record; an aggregation lists at most `child` of its files.
json_object *record_entry(const Record &r, size_t index, size_t child) {
    json_object *e = record_file(r.files[0]);
    json_object_object_add(e, "type", json_object_new_int(r.aggregate_id != 0 ? 1 : 0));
    json_object_object_add(e, "cmd", json_object_new_int(107));
    json_object_object_add(e, "userId", json_object_new_int(1));
    json_object_object_add(e, "nickName", json_object_new_string("admin"));
    json_object_object_add(e, "logId", json_object_new_int(static_cast<int32_t>(index + 1)));
    json_object_object_add(e, "enableHide", json_object_new_int(0));
    if (r.aggregate_id == 0) return e;
    json_object *list = json_object_new_array();
    int pictures = 0, videos = 0;
    for (size_t k = 0; k < r.files.size(); ++k) {
        if (k < child) json_object_array_add(list, record_file(r.files[k]));
        const int t = type_of(r.files[k].device_path);
        pictures += t == 1;
        videos += t == 2;
    }
    json_object_object_add(e, "aggregateList", list);
    json_object_object_add(e, "aggregateId", json_object_new_int(r.aggregate_id));
    json_object_object_add(e, "count",
                           json_object_new_int(static_cast<int32_t>(json_object_array_length(list))));
    json_object_object_add(e, "totalCount", json_object_new_int(static_cast<int32_t>(r.files.size())));
    json_object_object_add(e, "picture_count", json_object_new_int(pictures));
    json_object_object_add(e, "vedeo_count", json_object_new_int(videos));
    return e;
}

json_object *records_page(json_object *list, size_t total) {
    json_object *data = json_object_new_object();
    json_object_object_add(data, "count",
                           json_object_new_int(static_cast<int32_t>(json_object_array_length(list))));
    json_object_object_add(data, "totalCount", json_object_new_int(static_cast<int32_t>(total)));
    json_object_object_add(data, "recordsList", list);
    return data;
}

// 151: a page of the recent records, each aggregation with at most "childCount" of its files.
Reply recent(Device &device, const Request &req) {
    json_object *q = first_request(req);
    if (q == nullptr) return error_reply(10002);
    const auto all = recent_records(device);
    const Page pg = page_of(q, all.size());
    const size_t child = static_cast<size_t>(std::max(0, json_object_get_int(get(q, "childCount"))));
    json_object *list = json_object_new_array();
    for (size_t i = pg.offset; i < all.size() && i < pg.offset + pg.length; ++i)
        json_object_array_add(list, record_entry(all[i], i, child));
    return page_reply(records_page(list, all.size()));
}

// 161: a page of the files of the aggregation (album folder) "aggregationId".
Reply aggregation(Device &device, const Request &req) {
    json_object *q = first_request(req);
    if (q == nullptr) return error_reply(10002);
    const auto folders = albums_of(device, {1, 2, 3, 4}, false);
    const int id = json_object_get_int(get(q, "aggregationId"));
    if (id < 1 || static_cast<size_t>(id) > folders.size()) return error_reply(10008);
    const auto &all = folders[static_cast<size_t>(id) - 1].second;
    const Page pg = page_of(q, all.size());
    json_object *list = json_object_new_array();
    for (size_t i = pg.offset; i < all.size() && i < pg.offset + pg.length; ++i) {
        json_object *e = record_file(all[i]);
        json_object_object_add(e, "cmd", json_object_new_int(107));
        json_object_object_add(e, "nickName", json_object_new_string("admin"));
        json_object_array_add(list, e);
    }
    return page_reply(records_page(list, all.size()));
}

// 125: files of "fileType" under the folder "path" leave the type listings; the files stay.
Reply remove_type_list(Device &device, const Request &req) {
    json_object *q = first_request(req);
    json_object *path = get(q, "path");
    json_object *type = get(q, "fileType");
    if (path == nullptr || type == nullptr) return error_reply(10002);
    std::string folder = json_object_get_string(path);
    const std::string local = local_path(device, folder);
    struct stat st {};
    if (local.empty() || ::stat(local.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return error_reply(10008);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty() || folder[0] != '/') folder.insert(folder.begin(), '/');
    const auto state = files_state(device);
    std::lock_guard<std::mutex> lk(state->mu);
    state->removed_type_lists.emplace(json_object_get_int(type), folder);
    return Reply{};
}
}  // namespace

void install_file_type_handlers(Device &device) {
    device.set_handler(123, albums);
    device.set_handler(124, type_list_under);
    device.set_handler(125, remove_type_list);
    device.set_handler(151, recent);
    device.set_handler(161, aggregation);
    device.set_handler(105, attributes);
    device.set_handler(120, type_list);
    device.set_handler(158, type_list);
    device.set_handler(121, class_totals);
    device.set_handler(148, user_space);
}

}  // namespace qvemu
