// The process-wide values of the call frame, for the device login and the version call: both guarded
// by one mutex, so that a call always copies a whole address.
#pragma once

#include <cstddef>

void qv_frame_set_current_device(const char *addr);
// The version cached for `addr` into `out`: true; false when none is cached for that device.
bool qv_frame_cached_version(const char *addr, char *out, size_t size);
void qv_frame_store_version(const char *addr, const char *ver);
