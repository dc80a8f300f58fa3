#include "shell/QVMainWindowController.h"

#include "appkit/Make.h"
#include "appkit/QVColors.h"

QVMainViewController::QVMainViewController(QWidget *parent) : BaseViewController(parent) {}

void QVMainViewController::viewDidLoad() {
    BaseViewController::viewDidLoad();
    deviceNameLabel = new QLabel(this);
    QFont f = deviceNameLabel->font();
    f.setPixelSize(22);
    f.setBold(true);
    deviceNameLabel->setFont(f);
    QPalette pal = deviceNameLabel->palette();
    pal.setColor(QPalette::WindowText, QVColors::accent());
    deviceNameLabel->setPalette(pal);
    deviceNameLabel->setGeometry(40, 40, 600, 34);
    publicIdLabel = new QLabel(this);
    publicIdLabel->setGeometry(40, 90, 400, 24);
    privateIdLabel = new QLabel(this);
    privateIdLabel->setGeometry(40, 120, 400, 24);
    logoutButton = new QVButton(this);
    logoutButton->setText(QStringLiteral("Log out"));
    logoutButton->setGeometry(40, 170, 100, 28);
    connect(logoutButton, &QAbstractButton::clicked, this, [this] {
        if (onLogout) onLogout();
    });
}

void QVMainViewController::setSummary(const QString &deviceName, int64_t publicUserId,
                                      int64_t privateUserId) {
    deviceNameLabel->setText(deviceName);
    publicIdLabel->setText(QStringLiteral("Public space id: %1").arg(publicUserId));
    privateIdLabel->setText(QStringLiteral("Private space id: %1").arg(privateUserId));
}

QVMainWindowController::QVMainWindowController(QWidget *parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Tessera"));
    m_content = appkit::make<QVMainViewController>(this);
    setCentralWidget(m_content);
}
