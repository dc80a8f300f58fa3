// The request handle every request method returns, and what progress and result callbacks receive.
#pragma once

#include <cstdint>
#include <memory>

class QVNasRequestInfo {
  public:
    int32_t clientCommand = 0;
    int32_t clientCommandSeq = 0;         // 0 in reports that belong to no request
    const void *responseClass = nullptr;  // carried for callers; never set by the framework
};
using QVNasRequestInfoPtr = std::shared_ptr<QVNasRequestInfo>;
