// Uploads, upload checks, backups and instant uploads (107, 162, 108, 132, 146, 133, 134, 136, 138, 147),
// stored in the device's served folder. An upload in progress lives beside its target as "<target>.part"
// (the bytes, at their offsets) and "<target>.part.state" (the file size, then one "start end" line per
// received range); the check reports the complement as missing, and the part file replaces the target
// once every byte has arrived. Backups land under "/Backup/<deviceUuid>/[<dirName>/]<local path>"; the
// uuids of complete backups are listed in "/Backup/.uuids".
#pragma once

#include <string>
#include <vector>

#include "device.h"

namespace qvemu {

void install_upload_handlers(Device &device);

// Tags that the latest upload to `path` carried (empty when none).
std::vector<std::string> uploaded_tags(const Device &device, const std::string &path);
// 138 answers with the uuids the device holds (default) or, when switched, with those it lacks.
void set_backup_uuid_reply_missing(const Device &device, bool missing);
// The device path where a backup of this kind lands.
std::string backup_device_path(const std::string &deviceUuid, const std::string &dirName,
                               const std::string &localPath);

}  // namespace qvemu
