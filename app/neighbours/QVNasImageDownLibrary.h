// What the file views use of the thumbnail and picture fetcher: one request per stream address at a
// time; completions on the main thread with 1.0 (in its cache file), 0 (failed or dropped) or a fraction
// while it loads. The fetcher belongs to the media viewers; until one is installed every request fails.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class QVNasImageDownInfo {
  public:
    QString imagePath;  // the stream address of the device file
    int64_t type = 0;   // 1 small thumbnail, 2 medium, other the full image
    QString cacheName;
    int64_t imageSize = 0;
    int64_t imageShowRow = 0;  // carried back unchanged
};
using QVNasImageDownInfoPtr = std::shared_ptr<QVNasImageDownInfo>;

using QVNasImageDownCompletion = std::function<void(const QVNasImageDownInfoPtr &, float progress)>;

class QVNasImageDownLibrary {
  public:
    // The installed library, else one whose requests fail at once (completion with 0 on the main thread).
    static QVNasImageDownLibrary &shareImageDownloadLibrary();
    static void setShareImageDownloadLibrary(QVNasImageDownLibrary *library);  // not owned
    virtual ~QVNasImageDownLibrary() = default;
    virtual void insertToDownloadLibrary(const QVNasImageDownInfoPtr &info,
                                         QVNasImageDownCompletion completion);
    // Waiting requests get 0, newest first; running ones are cancelled without a call.
    virtual void closeRemoveAllRequest() {}
};
