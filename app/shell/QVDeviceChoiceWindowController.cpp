#include "shell/QVDeviceChoiceWindowController.h"

#include <QVBoxLayout>

#include "appkit/Make.h"
#include "appkit/QVColors.h"

QVDeviceChoiceViewController::QVDeviceChoiceViewController(QWidget *parent) : BaseViewController(parent) {}

void QVDeviceChoiceViewController::viewDidLoad() {
    BaseViewController::viewDidLoad();
    auto *title = new QLabel(QStringLiteral("Choose a device"), this);
    QFont tf = title->font();
    tf.setPixelSize(20);
    tf.setBold(true);
    title->setFont(tf);
    title->setGeometry(30, 24, 400, 30);
    deviceList = new QListWidget(this);
    deviceList->setGeometry(30, 64, 440, 220);
    connectButton = new QVBlueButton(this);
    connectButton->setText(QStringLiteral("Connect"));
    connectButton->setGeometry(30, 300, 200, 34);
    connect(connectButton, &QAbstractButton::clicked, this,
            &QVDeviceChoiceViewController::connectButtonAction);
    backButton = new QVButton(this);
    backButton->setShowHelpButtonCss();
    backButton->setText(QStringLiteral("Sign in with another account"));
    backButton->setGeometry(250, 300, 220, 34);
    connect(backButton, &QAbstractButton::clicked, this, [this] {
        if (onBackToLogin) onBackToLogin();
    });
    messageLabel = new QLabel(this);
    messageLabel->setGeometry(30, 344, 440, 24);
    loadingRing = new QVCircularIndicator(this);
    loadingRing->setGeometry(230, 150, 40, 40);
    loadingRing->hide();
}

void QVDeviceChoiceViewController::setDevices(const QList<QVNasDeviceInfoPtr> &devices) {
    m_devices = devices;
    deviceList->clear();
    for (const auto &d : devices) {
        auto *item = new QListWidgetItem(
            QStringLiteral("%1    %2")
                .arg(d->dev_name, d->online ? QStringLiteral("online") : QStringLiteral("offline")));
        item->setForeground(d->online ? QVColors::accent() : QColor(150, 150, 150));
        deviceList->addItem(item);
    }
    if (!devices.isEmpty()) deviceList->setCurrentRow(0);
}

void QVDeviceChoiceViewController::connectButtonAction() {
    const int row = deviceList->currentRow();
    if (row < 0 || row >= m_devices.size()) return;
    showMessage(QString());
    setConnecting(true);
    if (onConnect) onConnect(m_devices.at(row));
}

void QVDeviceChoiceViewController::setConnecting(bool on) {
    connectButton->setEnabled(!on);
    loadingRing->setVisible(on);
    if (on) {
        loadingRing->raise();
        loadingRing->startAnimation();
    } else {
        loadingRing->stopAnimation();
    }
}

void QVDeviceChoiceViewController::showMessage(const QString &text) {
    messageLabel->setText(text);
}

QVDeviceChoiceWindowController::QVDeviceChoiceWindowController(QWidget *parent)
    : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Tessera"));
    m_content = appkit::make<QVDeviceChoiceViewController>(this);
    auto *l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(m_content);
    resize(500, 380);
}
