#include "views/QVFileDateCell.h"

#include <QEnterEvent>
#include <QResizeEvent>

QVFileDateCell::QVFileDateCell(QWidget *parent) : QWidget(parent), m_textField(new QLabel(this)) {
    setMouseTracking(true);  // entry and exit over the whole cell, also when the window is not key
    m_textField->setGeometry(rect());
}

void QVFileDateCell::setObjectValue(const QVariant &value) {
    m_textField->setText(value.isValid() && !value.isNull() ? value.toString() : QString());
}

void QVFileDateCell::setTrackingDelegate(QVFileDateCellMouseTrackingDelegate *delegate) {
    m_delegate = delegate;
    auto *obj = dynamic_cast<QObject *>(delegate);
    m_delegateIsObject = obj != nullptr;
    m_delegateGuard = obj;
    m_flags.qvFilesDateMouseInOrOut = delegate != nullptr && delegate->respondsToMouseTracking() ? 1 : 0;
}

QVFileDateCellMouseTrackingDelegate *QVFileDateCell::trackingDelegate() const {
    if (m_delegateIsObject && !m_delegateGuard) return nullptr;
    return m_delegate;
}

void QVFileDateCell::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    m_textField->setGeometry(rect());
}

void QVFileDateCell::report(bool inside) {
    if (m_isPublicCell || m_isSelected) return;
    if (inside) m_originalColor = palette().color(backgroundRole());
    QVFileDateCellMouseTrackingDelegate *d = trackingDelegate();
    if (d != nullptr && d->respondsToMouseTracking())
        d->qvFileDateCellMouseTrackingDelegate(inside, m_currentRow);
}

void QVFileDateCell::enterEvent(QEnterEvent *event) {
    QWidget::enterEvent(event);
    report(true);
}

void QVFileDateCell::leaveEvent(QEvent *event) {
    QWidget::leaveEvent(event);
    report(false);
}
