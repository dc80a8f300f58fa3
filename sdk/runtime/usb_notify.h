// The pushed USB backup status: its parser, and the process-wide USB notify list that collects one record
// per USB device and reports the whole list to the USB status callback.
#pragma once

#include <cstdint>

#include "runtime/ppclib.h"

// At most this many USB devices are kept; statuses for further ones are dropped.
constexpr int QV_USB_NOTIFY_MAX = 64;

// Parses one pushed USB status text into `out` (zeroed first). 0, or -1 for text that is not a JSON object,
// lacks a required member, has a member of the wrong kind, or whose sums or remaining time would overflow.
// Texts longer than their fields are cut to 63 characters.
int get_usbstatus_by_jsonstring(const char *text, qv_usb_status *out);

int init_usbnotify_list();
int is_usbnotify_list_init();
int get_usbnotify_count();
// Merges one status pushed by the device logged in with `owner` (its session token). 0, or -1.
int update_add_usbnotify_list(const qv_usb_status *s, int64_t owner);
// Reports every entry to `cb` (one array sized to the list) and removes those that ended. 0.
int check_usbnotify_list(ppc_usb_status_cb cb);
// Removes the entries of one logged-in device only; 0.
int remove_usbnotify_owner(int64_t owner);
// Frees every entry and marks the list uninitialised; -1 when it was not initialised.
int uninit_usbnotify_list();
