// The login window (a stand-in until its own window lands): area code, phone number and password, a sign-in
// button and the busy ring. Signing in is the owner's: it sets onServiceLogin.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QWidget>
#include <functional>

#include "views/BaseViewController.h"
#include "views/QVButton.h"
#include "views/QVCircularIndicator.h"
#include "views/ZRActiveSecureTextField.h"

class QVLoginViewController : public BaseViewController {
    Q_OBJECT
  public:
    explicit QVLoginViewController(QWidget *parent = nullptr);
    void viewDidLoad() override;

    std::function<void(const QString &areaCode, const QString &userName, const QString &password)>
        onServiceLogin;

    void loginButtonAction();
    void setSigningIn(bool on);
    void showMessage(const QString &text);

    QLineEdit *areaCodeField = nullptr;
    QLineEdit *phoneField = nullptr;
    ZRActiveSecureTextField *passwordBox = nullptr;
    QVBlueButton *loginButton = nullptr;
    QLabel *messageLabel = nullptr;
    QVCircularIndicator *loadingRing = nullptr;
};

class QVLoginWindowController : public QWidget {
    Q_OBJECT
  public:
    explicit QVLoginWindowController(QWidget *parent = nullptr);
    QVLoginViewController *contentViewController() const { return m_content; }

  private:
    QVLoginViewController *m_content;
};
