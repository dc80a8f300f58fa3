// Command handler families. Each installs its handlers into a device; install_default_handlers (device.h)
// calls every family. A new family: a new file with an install function, listed here and in handlers.cpp.
#pragma once

#include <string>

#include "device.h"

namespace qvemu {

void install_link_handlers(Device &device);    // 175
void install_device_handlers(Device &device);  // 100 storage, 150 user list
void install_file_handlers(Device &device);    // 101, 185 listings, 113, 117 search, 108 upload check

// json-c's compact text of an object or array (keeps "\/" escapes as json-c writes them).
std::string json_text(json_object *o);

}  // namespace qvemu
