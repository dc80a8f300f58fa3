// Command handler families. Each installs its handlers into a device; install_default_handlers (device.h)
// calls every family. A new family: a new file with an install function, listed here and in handlers.cpp.
#pragma once

#include <string>

#include "device.h"

namespace qvemu {

void install_link_handlers(Device &device);    // 175
void install_device_handlers(Device &device);  // 100 storage, 150 user list
// Administration, settings, hidden space, timers, module support, share links: see handlers_admin.h.
void install_admin_family(Device &device);
void install_file_type_handlers(Device &device);  // 105 attributes, 120/158 type lists, 121 totals, 148 space
// Device-user commands 1 to 58 and 249: install_device_user_handlers in handlers_device_user.h.
void install_listing_handlers(Device &device);  // 101, 185 listings, 113, 117 search, 108 upload check
// One page of a folder of the served folder (101 and 185 keys).
Reply folder_listing(Device &device, const Request &req);

// The request's key object: element 0 of a "data" array, or "data" itself; null when that is no object.
json_object *request_args(const Request &req);
// Member `name` of the key object (null when absent), and its string ("" when absent) and 64-bit readings.
json_object *arg(const Request &req, const char *name);
std::string arg_str(const Request &req, const char *name);
int64_t arg_i64(const Request &req, const char *name, int64_t dflt = -1);
// Whether a device path has a ".." component, which would lead out of the served folder.
bool leaves_root(const std::string &path);
// A reply carrying only an error code.
Reply error_reply(int code);

// json-c's compact text of an object or array (keeps "\/" escapes as json-c writes them).
std::string json_text(json_object *o);

// The whole content of a file of the served folder; false when it cannot be opened.
bool read_whole_file(const std::string &path, std::string *out);

}  // namespace qvemu
