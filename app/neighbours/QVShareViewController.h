// The share window: one share link for the given entries. The window belongs to the windows; this is
// what the file views call.
#pragma once

#include <QList>
#include <functional>
#include <memory>

#include "model/QVFileInfo.h"

class QVShareViewController {
  public:
    using Maker = std::function<std::shared_ptr<QVShareViewController>()>;
    // The share window's content controller, shown, from the installed maker; null without one.
    static std::shared_ptr<QVShareViewController> create();
    static void setMaker(Maker maker);
    virtual ~QVShareViewController() = default;
    virtual void setupSharedFilesWithArray(const QList<QVFileInfoPtr> &array) = 0;
};
using QVShareViewControllerPtr = std::shared_ptr<QVShareViewController>;
