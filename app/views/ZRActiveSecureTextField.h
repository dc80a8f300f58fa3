// Password and code entry: a white rounded box with a plain field and, for passwords (type 0), a secure
// field with an eye button that shows or hides the input. The box wears a 3-point blue frame while one of
// its fields has the focus and a 1-point grey one otherwise; it keeps the input in inputStr and reports
// editing, changes and the return key to its delegate.
#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QWidget>
#include <functional>

#include "views/ZRClickedImageView.h"

using ZRBecomeBlock = std::function<void()>;

// A text field that runs a callback whenever it takes the focus.
class ZRTextField : public QLineEdit {
    Q_OBJECT
  public:
    explicit ZRTextField(QWidget *parent = nullptr) : QLineEdit(parent) {}
    void becomeFirstRespondBlock(ZRBecomeBlock block) { m_becomeBlock = std::move(block); }

  protected:
    void focusInEvent(QFocusEvent *e) override;

  private:
    ZRBecomeBlock m_becomeBlock;
};

class ZRSecureTextField : public ZRTextField {
    Q_OBJECT
  public:
    explicit ZRSecureTextField(QWidget *parent = nullptr) : ZRTextField(parent) {
        setEchoMode(QLineEdit::Password);
    }
};

class ZRActiveSecureTextField;

struct ZRActiveSecureTextFieldDelegate {
    virtual ~ZRActiveSecureTextFieldDelegate() = default;
    virtual void activeSecureTextFieldBegainEidt(ZRActiveSecureTextField *) {}
    virtual void activeSecureTextFieldDidChange(ZRActiveSecureTextField *) {}
    virtual void activeSecureTextFieldDidEnter(ZRActiveSecureTextField *) {}
};

class ZRActiveSecureTextField : public QWidget {
    Q_OBJECT
  public:
    // `frame` as the design gives it (size and position in the parent); type 0 is the password box with
    // the eye button, any other type the plain field only.
    ZRActiveSecureTextField(const QRect &frame, int32_t type, QWidget *parent = nullptr);
    ~ZRActiveSecureTextField() override;

    bool isSecureInput() const { return m_isSecureInput; }
    int32_t type() const { return m_type; }
    // Not owned. A QObject delegate that dies reads as none.
    void setActiveSecureDelegate(ZRActiveSecureTextFieldDelegate *delegate);
    ZRActiveSecureTextFieldDelegate *activeSecureDelegate() const;
    QString placeholderStr() const { return m_placeholderStr; }
    void setPlaceholderStr(const QString &text);  // null or the current text: ignored
    QString inputStr() const { return m_inputStr; }
    void setInputStr(const QString &text) { m_inputStr = text; }
    void emptyInputValue();
    void changeInputAction();
    void enterAction();

    ZRTextField *textField() const { return m_textField; }
    ZRSecureTextField *secureTextField() const { return m_secureTextField; }
    ZRClickedImageView *changeInputTypeBtn() const { return m_changeInputTypeBtn; }
    // The frame now on show: 3 while focused, 1 at rest.
    int borderWidth() const { return m_focused ? 3 : 1; }
    QColor borderColor() const;

  protected:
    void paintEvent(QPaintEvent *) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void applyLook(bool focused);
    void setUpField(ZRTextField *field, const QRect &frame);
    void controlTextDidBeginEditing();
    void controlTextDidChange();
    void controlTextDidEndEditing();

    bool m_isSecureInput = true;
    int32_t m_type = 0;
    bool m_focused = false;
    bool m_editing = false;
    ZRActiveSecureTextFieldDelegate *m_delegate = nullptr;
    QPointer<QObject> m_delegateGuard;
    bool m_delegateIsObject = false;
    QString m_placeholderStr;
    QString m_inputStr;
    QPointer<ZRTextField> m_textField;
    QPointer<ZRSecureTextField> m_secureTextField;
    QPointer<ZRClickedImageView> m_changeInputTypeBtn;
};
