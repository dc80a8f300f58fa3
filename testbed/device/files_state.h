// What the file commands keep per device beyond its folder: the tags of each path (154, 156; read back by
// 105 and 117), the pace of streamed search replies (so that a client's close can land mid-stream), the
// search requests as received and the type listings removed under a folder (125).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device.h"

namespace qvemu {

struct FilesState {
    std::mutex mu;
    std::map<std::string, std::vector<std::string>> tags;  // device path -> tag names, in the order set
    int search_pace_ms = 5;                                // pause between streamed search replies
    std::vector<std::string> search_requests;              // the key object of each 117, as JSON text
    // (file type, folder) pairs that 125 took out of the type listings (120, 158, 121, 123, 124): files of
    // that type under that folder are no longer listed by type. The files themselves stay.
    std::set<std::pair<int, std::string>> removed_type_lists;
};

// The device's state (made by install_tag_handlers; a fresh one for a device never installed).
std::shared_ptr<FilesState> files_state(const Device &device);
// 154 sets the tags of one path, 156 adds tags to several paths.
void install_tag_handlers(Device &device);

}  // namespace qvemu
