// The one place every component takes the SDK front's objects from; here so far its transform of listing
// responses into the application's file entries.
#pragma once

#include "broker/QVNasResponseInfo.h"

class QVSingletonInterfaceManage final {
  public:
    QVSingletonInterfaceManage() = delete;
    // Rewrites a listing response in place (by its command) and returns it: entries become QVFileInfos
    // with their date texts; see the cases in the source.
    static QVNasResponseInfoPtr qvNasTransformResponseData(const QVNasResponseInfoPtr &response);
};
