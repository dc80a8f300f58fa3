#include "views/ZRActiveSecureTextField.h"

#include <QEvent>
#include <QHideEvent>
#include <QPainter>

#include "appkit/QVColors.h"
#include "tools/QVPrivateTools.h"

void ZRTextField::focusInEvent(QFocusEvent *e) {
    QLineEdit::focusInEvent(e);
    if (m_becomeBlock) m_becomeBlock();
}

ZRActiveSecureTextField::ZRActiveSecureTextField(const QRect &frame, int32_t type, QWidget *parent)
    : QWidget(parent), m_type(type) {
    setGeometry(frame);
    const int w = frame.width();
    const int h = frame.height();
    m_isSecureInput = true;
    const QRect fieldFrame = type == 0 ? QRect(4, static_cast<int>((h - 17) * 0.5), w - 4 - h, 17)
                                       : QRect(4, static_cast<int>((h - 17) * 0.5), w - 4, 17);
    m_textField = new ZRTextField(this);
    setUpField(m_textField, fieldFrame);
    m_inputStr = QString();
    if (type == 0) {
        m_textField->hide();
        m_secureTextField = new ZRSecureTextField(this);
        setUpField(m_secureTextField, fieldFrame);
        m_changeInputTypeBtn = new ZRClickedImageView(this);
        m_changeInputTypeBtn->setGeometry(w - 4 - h, 0, h, h);
        m_changeInputTypeBtn->setImageName(QStringLiteral("miwendisc"));
        QPointer<ZRActiveSecureTextField> self(this);
        m_changeInputTypeBtn->setAction([self](ZRClickedImageView *) {
            if (self) self->changeInputAction();
        });
        m_placeholderStr = m_textField->placeholderText();
    }
    applyLook(false);
}

ZRActiveSecureTextField::~ZRActiveSecureTextField() {
    // The fields go first, so their focus-out does not reach a half-destroyed box.
    if (m_textField) m_textField->removeEventFilter(this);
    if (m_secureTextField) m_secureTextField->removeEventFilter(this);
}

void ZRActiveSecureTextField::setUpField(ZRTextField *field, const QRect &frame) {
    field->setGeometry(frame);
    field->setPlaceholderText(
        QVPrivateTools::localizedOrKey(QStringLiteral("QV_Login_Remind_Enter_Password")));
    field->setFrame(false);
    field->setAttribute(Qt::WA_MacShowFocusRect, false);
    field->installEventFilter(this);
    QPointer<ZRActiveSecureTextField> self(this);  // the field must not keep the box alive
    field->becomeFirstRespondBlock([self] {
        if (self) self->applyLook(true);
    });
    connect(field, &QLineEdit::textEdited, this, [this] {
        controlTextDidBeginEditing();
        controlTextDidChange();
    });
    connect(field, &QLineEdit::returnPressed, this, &ZRActiveSecureTextField::enterAction);
}

void ZRActiveSecureTextField::setActiveSecureDelegate(ZRActiveSecureTextFieldDelegate *delegate) {
    m_delegate = delegate;
    auto *obj = dynamic_cast<QObject *>(delegate);
    m_delegateIsObject = obj != nullptr;
    m_delegateGuard = obj;
}

ZRActiveSecureTextFieldDelegate *ZRActiveSecureTextField::activeSecureDelegate() const {
    if (m_delegateIsObject && !m_delegateGuard) return nullptr;
    return m_delegate;
}

QColor ZRActiveSecureTextField::borderColor() const {
    return m_focused ? QVColors::focusFrame() : QVColors::restingFrame();
}

void ZRActiveSecureTextField::applyLook(bool focused) {
    m_focused = focused;
    update();
}

void ZRActiveSecureTextField::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int bw = borderWidth();
    const QRectF r = QRectF(rect()).adjusted(bw / 2.0, bw / 2.0, -bw / 2.0, -bw / 2.0);
    p.setBrush(Qt::white);
    p.setPen(QPen(borderColor(), bw));
    p.drawRoundedRect(r, 3, 3);
}

bool ZRActiveSecureTextField::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusOut && (watched == m_textField || watched == m_secureTextField))
        controlTextDidEndEditing();
    return false;
}

void ZRActiveSecureTextField::controlTextDidBeginEditing() {
    if (m_editing) return;
    m_editing = true;
    if (auto *d = activeSecureDelegate()) d->activeSecureTextFieldBegainEidt(this);
}

void ZRActiveSecureTextField::controlTextDidChange() {
    ZRTextField *inUse = m_textField;
    if (m_type == 0 && m_isSecureInput) inUse = m_secureTextField;
    m_inputStr = inUse->text();
    if (auto *d = activeSecureDelegate()) d->activeSecureTextFieldDidChange(this);
}

void ZRActiveSecureTextField::controlTextDidEndEditing() {
    m_editing = false;
    applyLook(false);
}

void ZRActiveSecureTextField::enterAction() {
    QPointer<ZRActiveSecureTextField> self(this);
    if (auto *d = activeSecureDelegate()) d->activeSecureTextFieldDidEnter(this);
    if (!self) return;  // the delegate closed the dialog
    for (ZRTextField *f :
         {static_cast<ZRTextField *>(m_textField), static_cast<ZRTextField *>(m_secureTextField)}) {
        if (f != nullptr && !f->isHidden()) f->setFocus(Qt::OtherFocusReason);
    }
}

void ZRActiveSecureTextField::changeInputAction() {
    if (m_type != 0 || !m_secureTextField) return;
    m_isSecureInput = !m_isSecureInput;
    if (!m_isSecureInput) {
        m_changeInputTypeBtn->setImageName(QStringLiteral("mingwendisc"));
        m_secureTextField->hide();
        m_textField->show();
        m_textField->setText(m_inputStr);
        m_secureTextField->setText(m_inputStr);
        m_textField->setFocus(Qt::OtherFocusReason);
    } else {
        m_changeInputTypeBtn->setImageName(QStringLiteral("miwendisc"));
        m_secureTextField->show();
        m_textField->hide();
        m_textField->setText(m_inputStr);
        m_secureTextField->setText(m_inputStr);
        m_secureTextField->setFocus(Qt::OtherFocusReason);
    }
}

void ZRActiveSecureTextField::setPlaceholderStr(const QString &text) {
    if (text.isNull() || text == m_placeholderStr) return;
    m_placeholderStr = text;
    m_textField->setPlaceholderText(text);
    if (m_secureTextField) m_secureTextField->setPlaceholderText(text);
}

void ZRActiveSecureTextField::emptyInputValue() {
    m_textField->clear();
    if (m_secureTextField) m_secureTextField->clear();
    m_inputStr.clear();
}

void ZRActiveSecureTextField::hideEvent(QHideEvent *event) {
    QWidget::hideEvent(event);
    // A password does not outlive its window: closing it (not minimising) clears the box.
    if (!event->spontaneous() && window() != nullptr && !window()->isVisible()) emptyInputValue();
}
