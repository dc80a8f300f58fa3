// The photo map listing (157), from the photos a test gives the model.
#include "handlers_gps.h"

#include <algorithm>

#include "handlers.h"

namespace qvemu {

void GpsModel::set_photos(std::vector<GpsPhoto> photos) {
    std::lock_guard lk(mu_);
    photos_ = std::move(photos);
}

void GpsModel::set_paging(size_t page, int chunk_interval_ms) {
    std::lock_guard lk(mu_);
    page_ = std::max<size_t>(page, 1);
    interval_ms_ = chunk_interval_ms;
}

std::vector<GpsAsk> GpsModel::asks() const {
    std::lock_guard lk(mu_);
    return asks_;
}

std::vector<GpsPhoto> GpsModel::select(const GpsAsk &ask) const {
    const double lat_lo = std::min(ask.latitude1, ask.latitude2),
                 lat_hi = std::max(ask.latitude1, ask.latitude2);
    const double lon_lo = std::min(ask.longitude1, ask.longitude2),
                 lon_hi = std::max(ask.longitude1, ask.longitude2);
    std::lock_guard lk(mu_);
    std::vector<GpsPhoto> out;
    for (const GpsPhoto &p : photos_) {
        if (p.latitude < lat_lo || p.latitude > lat_hi || p.longitude < lon_lo || p.longitude > lon_hi)
            continue;
        if (ask.condition != 0 &&
            std::find(ask.buckets.begin(), ask.buckets.end(), p.bucket_id) == ask.buckets.end())
            continue;
        out.push_back(p);
    }
    return out;
}

size_t GpsModel::page() const {
    std::lock_guard lk(mu_);
    return page_;
}

int GpsModel::interval_ms() const {
    std::lock_guard lk(mu_);
    return interval_ms_;
}

void GpsModel::record(const GpsAsk &ask) {
    std::lock_guard lk(mu_);
    asks_.push_back(ask);
}

namespace {

double number(const Request &req, const char *key) {
    json_object *v = arg(req, key);
    return v != nullptr ? json_object_get_double(v) : 0.0;
}

std::string page_text(int32_t seq, int status, const std::vector<GpsPhoto> &photos, size_t from, size_t to) {
    json_object *arr = json_object_new_array();
    json_object *o = json_object_new_object();
    json_object_object_add(o, "seq", json_object_new_int(seq));
    json_object_object_add(o, "status", json_object_new_int(status));
    json_object_object_add(o, "curCount", json_object_new_int(static_cast<int>(to - from)));
    json_object *list = json_object_new_array();
    for (size_t i = from; i < to; ++i) {
        const GpsPhoto &p = photos[i];
        json_object *e = json_object_new_object();
        const size_t slash = p.path.find_last_of('/');
        json_object_object_add(e, "fileName", json_object_new_string(p.path.substr(slash + 1).c_str()));
        json_object_object_add(e, "filePath", json_object_new_string(p.path.c_str()));
        json_object_object_add(e, "GPSLatitude", json_object_new_double(p.latitude));
        json_object_object_add(e, "GPSLongtitude", json_object_new_double(p.longitude));
        json_object_object_add(e, "bucketId", json_object_new_int(p.bucket_id));
        json_object_object_add(e, "fileSize", json_object_new_int64(p.size));
        json_object_object_add(e, "fileDate", json_object_new_int64(0));
        json_object_array_add(list, e);
    }
    json_object_object_add(o, "GPSFileList", list);
    json_object_array_add(arr, o);
    std::string text = json_text(arr);
    json_object_put(arr);
    return text;
}

}  // namespace

std::shared_ptr<GpsModel> install_gps_handler(Device &device) {
    auto model = std::make_shared<GpsModel>();
    device.set_handler(157, [model](Device &, const Request &req) {
        GpsAsk ask;
        ask.latitude1 = number(req, "GPSLatitude_1");
        ask.longitude1 = number(req, "GPSLongtitude_1");
        ask.latitude2 = number(req, "GPSLatitude_2");
        ask.longitude2 = number(req, "GPSLongtitude_2");
        ask.condition = static_cast<int>(arg_i64(req, "condition", 0));
        ask.seq = req.seq;
        if (json_object *list = arg(req, "bucketList");
            list != nullptr && json_object_is_type(list, json_type_array))
            for (size_t i = 0; i < json_object_array_length(list); ++i) {
                json_object *id = nullptr;
                if (json_object_object_get_ex(json_object_array_get_idx(list, i), "bucketId", &id))
                    ask.buckets.push_back(json_object_get_int(id));
            }
        model->record(ask);
        auto photos = std::make_shared<std::vector<GpsPhoto>>(model->select(ask));
        const size_t page = model->page();
        auto at = std::make_shared<size_t>(0);
        auto done = std::make_shared<bool>(false);
        Reply r;
        r.chunk_interval_ms = model->interval_ms();
        r.next_chunk = [photos, page, at, done, seq = req.seq]() -> std::optional<std::string> {
            if (*done) return std::nullopt;
            if (*at >= photos->size()) {
                *done = true;
                return page_text(seq, 2, *photos, 0, 0);
            }
            const size_t from = *at;
            *at = std::min(photos->size(), from + page);
            return page_text(seq, 1, *photos, from, *at);
        };
        return r;
    });
    return model;
}

}  // namespace qvemu
