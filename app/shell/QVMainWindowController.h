// The main window (a stand-in until its own window lands): the device's name, the space ids and a log-out.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <functional>

#include "views/BaseViewController.h"
#include "views/QVButton.h"

class QVMainViewController : public BaseViewController {
    Q_OBJECT
  public:
    explicit QVMainViewController(QWidget *parent = nullptr);
    void viewDidLoad() override;

    std::function<void()> onLogout;
    void setSummary(const QString &deviceName, int64_t publicUserId, int64_t privateUserId);

    QLabel *deviceNameLabel = nullptr;
    QLabel *publicIdLabel = nullptr;
    QLabel *privateIdLabel = nullptr;
    QVButton *logoutButton = nullptr;
};

class QVMainWindowController : public QMainWindow {
    Q_OBJECT
  public:
    explicit QVMainWindowController(QWidget *parent = nullptr);
    QVMainViewController *contentViewController() const { return m_content; }

  private:
    QVMainViewController *m_content;
};
