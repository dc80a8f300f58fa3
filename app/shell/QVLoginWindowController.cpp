#include "shell/QVLoginWindowController.h"

#include <QVBoxLayout>

#include "appkit/Make.h"

QVLoginViewController::QVLoginViewController(QWidget *parent) : BaseViewController(parent) {}

void QVLoginViewController::viewDidLoad() {
    BaseViewController::viewDidLoad();
    auto *title = new QLabel(QStringLiteral("Tessera"), this);
    QFont tf = title->font();
    tf.setPixelSize(26);
    tf.setBold(true);
    title->setFont(tf);
    title->setGeometry(40, 40, 320, 36);
    areaCodeField = new QLineEdit(QStringLiteral("86"), this);
    areaCodeField->setGeometry(40, 100, 60, 30);
    phoneField = new QLineEdit(this);
    phoneField->setPlaceholderText(QStringLiteral("Phone number"));
    phoneField->setGeometry(110, 100, 250, 30);
    passwordBox = new ZRActiveSecureTextField(QRect(40, 145, 320, 32), 0, this);
    loginButton = new QVBlueButton(this);
    loginButton->setText(QStringLiteral("Sign in"));
    loginButton->setGeometry(40, 200, 320, 36);
    connect(loginButton, &QAbstractButton::clicked, this, &QVLoginViewController::loginButtonAction);
    messageLabel = new QLabel(this);
    messageLabel->setGeometry(40, 245, 320, 24);
    messageLabel->setAlignment(Qt::AlignCenter);
    loadingRing = new QVCircularIndicator(this);
    loadingRing->setGeometry(180, 280, 40, 40);
    loadingRing->hide();
}

void QVLoginViewController::loginButtonAction() {
    showMessage(QString());
    setSigningIn(true);
    if (onServiceLogin) onServiceLogin(areaCodeField->text(), phoneField->text(), passwordBox->inputStr());
}

void QVLoginViewController::setSigningIn(bool on) {
    loginButton->setEnabled(!on);
    loadingRing->setVisible(on);
    if (on)
        loadingRing->startAnimation();
    else
        loadingRing->stopAnimation();
}

void QVLoginViewController::showMessage(const QString &text) {
    messageLabel->setText(text);
}

QVLoginWindowController::QVLoginWindowController(QWidget *parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Tessera"));
    m_content = appkit::make<QVLoginViewController>(this);
    auto *l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(m_content);
    resize(400, 340);
}
