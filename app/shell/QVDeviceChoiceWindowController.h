// The device choice (a stand-in until its own window lands): the bound devices, connect with automatic
// login, back to sign-in. What the buttons do is the owner's (onConnect, onBackToLogin).
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QWidget>
#include <functional>

#include "model/QVNasDeviceInfo.h"
#include "views/BaseViewController.h"
#include "views/QVButton.h"
#include "views/QVCircularIndicator.h"

class QVDeviceChoiceViewController : public BaseViewController {
    Q_OBJECT
  public:
    explicit QVDeviceChoiceViewController(QWidget *parent = nullptr);
    void viewDidLoad() override;

    std::function<void(const QVNasDeviceInfoPtr &device)> onConnect;
    std::function<void()> onBackToLogin;

    void setDevices(const QList<QVNasDeviceInfoPtr> &devices);
    QList<QVNasDeviceInfoPtr> devices() const { return m_devices; }
    void connectButtonAction();
    void setConnecting(bool on);
    void showMessage(const QString &text);

    QListWidget *deviceList = nullptr;
    QVBlueButton *connectButton = nullptr;
    QVButton *backButton = nullptr;
    QLabel *messageLabel = nullptr;
    QVCircularIndicator *loadingRing = nullptr;

  private:
    QList<QVNasDeviceInfoPtr> m_devices;
};

class QVDeviceChoiceWindowController : public QWidget {
    Q_OBJECT
  public:
    explicit QVDeviceChoiceWindowController(QWidget *parent = nullptr);
    QVDeviceChoiceViewController *contentViewController() const { return m_content; }

  private:
    QVDeviceChoiceViewController *m_content;
};
