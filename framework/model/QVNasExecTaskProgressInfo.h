// Progress of a device task (framework command 173), built by the broker for the progress handler.
#pragma once

#include <cstdint>
#include <memory>

class QVNasExecTaskProgressInfo {
  public:
    int64_t deviceStatus = 0;
    int32_t taskStatus = 0;
    int64_t currentProgress = 0;
    int64_t totalProgress = 0;
};
using QVNasExecTaskProgressInfoPtr = std::shared_ptr<QVNasExecTaskProgressInfo>;
