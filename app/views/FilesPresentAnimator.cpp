#include "views/FilesPresentAnimator.h"

#include <QGraphicsOpacityEffect>
#include <QPalette>
#include <QPointer>
#include <QPropertyAnimation>

#include "appkit/Animations.h"

QRect FilesPresentAnimator::presentedFrame(const QSize &presentingSize) const {
    const int w = static_cast<int>(presentingSize.width() - m_rectEdge.right());
    const int h = static_cast<int>(presentingSize.height() - m_rectEdge.top());
    return QRect(0, static_cast<int>(m_rectEdge.top()), w, h);
}

namespace {

QGraphicsOpacityEffect *opacityOf(QWidget *w) {
    auto *e = qobject_cast<QGraphicsOpacityEffect *>(w->graphicsEffect());
    if (e == nullptr) {
        e = new QGraphicsOpacityEffect(w);
        w->setGraphicsEffect(e);
    }
    return e;
}

}  // namespace

void FilesPresentAnimator::animatePresentationOfViewController(QWidget *presented,
                                                               QWidget *fromViewController) const {
    if (presented == nullptr || fromViewController == nullptr) return;
    QGraphicsOpacityEffect *effect = opacityOf(presented);
    effect->setOpacity(0);
    presented->setParent(fromViewController);
    presented->setGeometry(presentedFrame(fromViewController->size()));
    presented->setAutoFillBackground(true);
    QPalette pal = presented->palette();
    pal.setColor(QPalette::Window, Qt::white);
    presented->setPalette(pal);
    presented->show();
    presented->raise();
    if (!appkit::Animations::enabled()) {
        effect->setOpacity(1);
        return;
    }
    auto *a = new QPropertyAnimation(effect, "opacity", effect);
    a->setDuration(500);
    a->setStartValue(0.0);
    a->setEndValue(1.0);
    a->start(QAbstractAnimation::DeleteWhenStopped);
}

void FilesPresentAnimator::animateDismissalOfViewController(QWidget *presented, QWidget *) const {
    if (presented == nullptr) return;
    QPointer<QWidget> guard(presented);
    auto remove = [guard] {
        if (!guard) return;
        guard->hide();
        guard->setParent(nullptr);
    };
    QGraphicsOpacityEffect *effect = opacityOf(presented);
    if (!appkit::Animations::enabled()) {
        effect->setOpacity(0);
        remove();
        return;
    }
    auto *a = new QPropertyAnimation(effect, "opacity", effect);
    a->setDuration(500);
    a->setStartValue(effect->opacity());
    a->setEndValue(0.0);
    QObject::connect(a, &QPropertyAnimation::finished, presented, remove);
    a->start(QAbstractAnimation::DeleteWhenStopped);
}
