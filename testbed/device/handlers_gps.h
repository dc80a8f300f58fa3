// The photo map listing (157): the photos of the device that lie inside the asked rectangle, streamed a page
// per chunk (status 1 with "curCount" and "GPSFileList"), then a closing chunk with status 2. Each page is
// made as its chunk goes out, so a client that leaves mid-way stops the listing.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device.h"

namespace qvemu {

struct GpsPhoto {
    std::string path;  // device path; the name is its last component
    double latitude = 0, longitude = 0;
    int bucket_id = 0;
    int64_t size = 0;
};

// What one 157 request asked for.
struct GpsAsk {
    double latitude1 = 0, longitude1 = 0, latitude2 = 0, longitude2 = 0;
    int condition = 0;
    std::vector<int> buckets;
    int32_t seq = 0;
};

class GpsModel {
  public:
    void set_photos(std::vector<GpsPhoto> photos);
    void set_paging(size_t page, int chunk_interval_ms);
    std::vector<GpsAsk> asks() const;

    // The photos a request selects, and the paging (for the handler).
    std::vector<GpsPhoto> select(const GpsAsk &ask) const;
    size_t page() const;
    int interval_ms() const;
    void record(const GpsAsk &ask);

  private:
    mutable std::mutex mu_;
    std::vector<GpsPhoto> photos_;
    size_t page_ = 2;
    int interval_ms_ = 0;
    std::vector<GpsAsk> asks_;
};

// Installs (or replaces) the handler of 157 over a fresh model, and returns the model.
std::shared_ptr<GpsModel> install_gps_handler(Device &device);

}  // namespace qvemu
