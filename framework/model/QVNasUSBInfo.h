// The USB backup state of one device as the device pushes it.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

class QVNasUSBInfo {
  public:
    int32_t status = 0;
    int32_t backup_state = 0;
    bool is_scan_over = false;
    QString dev_name;
    QString dev_uuid;
    int32_t scan_cnt_dev = 0;
    int64_t scan_bytes_dev = 0;
    int32_t total_cnt_dev = 0;
    int32_t already_cnt_dev = 0;
    int32_t skip_cnt_dev = 0;
    int64_t skip_bytes_dev = 0;
    int64_t total_bytes_dev = 0;
    int64_t already_bytes_dev = 0;
    int64_t tm_curent_s = 0;
    int64_t tm_start_s = 0;
    int64_t remain_time = 0;
    int64_t speed_byte = 0;
    int32_t version = 0;
};
using QVNasUSBInfoPtr = std::shared_ptr<QVNasUSBInfo>;
