// The application menu's small windows (stand-ins until their own windows land): the new-version window
// and the download-folder settings window.
#pragma once

#include <QLabel>
#include <QWidget>

class QVUpdaterWindowController : public QWidget {
    Q_OBJECT
  public:
    explicit QVUpdaterWindowController(QWidget *parent = nullptr);
};

class QVSetWindowController : public QWidget {
    Q_OBJECT
  public:
    explicit QVSetWindowController(QWidget *parent = nullptr);
};
