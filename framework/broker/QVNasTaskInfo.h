// One request in flight between the broker and the bridge.
#pragma once

#include <QVariantMap>
#include <cstdint>
#include <memory>

#include "broker/QVNasResponseInfo.h"

class QVNasTaskInfo {
  public:
    int32_t commandSeq = 0;
    int32_t commandStatus = 0;  // the framework command number
    QVariantMap requestDict;
    QVNasResponseInfoPtr responseInfo;
};
using QVNasTaskInfoPtr = std::shared_ptr<QVNasTaskInfo>;
