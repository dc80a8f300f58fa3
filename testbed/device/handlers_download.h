// The ranged download of command 106 as a device serves it, with the faults tests need.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "device.h"

namespace qvemu {

// What one 106 request asked for.
struct DownloadAsk {
    std::string path;
    int64_t offset = 0;
    int64_t length = 0;  // the end offset, 0 for "to the end"
};

struct DownloadScript {
    // Pacing: `block` bytes per write, `pause_us` between writes. `use_sendfile`: without pacing or faults
    // the range goes out by sendfile() instead (the way nginx serves a file), with no block size of its own.
    std::atomic<bool> use_sendfile{false};
    std::atomic<size_t> block{65536};
    std::atomic<int> pause_us{0};
    // Faults.
    std::atomic<bool> range_shift{false};   // Content-Range start one block past the requested offset
    std::atomic<bool> extra_bytes{false};   // send 1000 bytes more than the range
    std::atomic<bool> json_error{false};    // answer with a JSON error envelope (no Content-Type)
    std::atomic<bool> json_ok{false};       // answer with a JSON envelope of error 0 and no file data
    std::atomic<bool> wrong_type{false};    // "Content-Type: application/json" with a JSON body
    std::atomic<bool> range_always{false};  // Content-Range also on a first attempt
    std::atomic<bool> bad_range{false};     // "Content-Range: bytes */N"
    std::atomic<int64_t> drop_after{-1};    // close the connection after this many body bytes (-1: never)
    std::atomic<int> json_error_code{10008};

    std::mutex mu;
    std::vector<DownloadAsk> asks;  // every request, in order
    std::vector<DownloadAsk> copy_asks() {
        std::lock_guard lk(mu);
        return asks;
    }
};

}  // namespace qvemu
