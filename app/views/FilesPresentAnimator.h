// Presents a controller's view inside another's: it fades in over the presenting view (0.5 s) and fades
// out again on dismissal, after which it leaves the presenting view.
#pragma once

#include <QMarginsF>
#include <QWidget>

class FilesPresentAnimator {
  public:
    FilesPresentAnimator() = default;
    explicit FilesPresentAnimator(const QMarginsF &rectEdge) : m_rectEdge(rectEdge) {}
    QMarginsF rectEdge() const { return m_rectEdge; }
    void setRectEdge(const QMarginsF &e) { m_rectEdge = e; }

    // The presented view's frame (y down): the presenting size less the right and top insets, the top
    // inset left uncovered above it.
    QRect presentedFrame(const QSize &presentingSize) const;
    void animatePresentationOfViewController(QWidget *presented, QWidget *fromViewController) const;
    // Fades the view out, then takes it out of the presenting view (the caller keeps ownership).
    void animateDismissalOfViewController(QWidget *presented, QWidget *fromViewController) const;

  private:
    QMarginsF m_rectEdge;
};
