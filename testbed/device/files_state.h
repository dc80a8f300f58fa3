// What the file commands keep per device beyond its folder: the tags of each path (154, 156; read back by
// 105 and 117), the pace of streamed search replies (so that a client's close can land mid-stream) and the
// search requests as received.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device.h"

namespace qvemu {

struct FilesState {
    std::mutex mu;
    std::map<std::string, std::vector<std::string>> tags;  // device path -> tag names, in the order set
    int search_pace_ms = 5;                                // pause between streamed search replies
    std::vector<std::string> search_requests;              // the key object of each 117, as JSON text
};

// The device's state (made by install_tag_handlers; a fresh one for a device never installed).
std::shared_ptr<FilesState> files_state(const Device &device);
// 154 sets the tags of one path, 156 adds tags to several paths.
void install_tag_handlers(Device &device);

}  // namespace qvemu
