// The blue busy ring: 80 % of a ring 5 points thick, whose gap turns clockwise by 0.04 of a turn every
// 1/30 s while animating (frames from plat::Scheduler).
#pragma once

#include <QPainterPath>
#include <QWidget>

#include "platform/Scheduler.h"

class QVCircularIndicator : public QWidget {
    Q_OBJECT
  public:
    explicit QVCircularIndicator(QWidget *parent = nullptr);

    void startAnimation();  // a second start keeps the one timer
    void stopAnimation();
    void setupUpdateTimer();
    void updateIndeterminate();
    bool isAnimating() const { return m_updateTimer.isActive(); }
    double deltaAngle() const { return m_deltaAngle; }
    void setDeltaAngle(double a) {
        m_deltaAngle = a;
        update();
    }

    // The pie slice from the centre of `rect` that clips the ring: from 90 - begin * 360 degrees clockwise
    // by percentage * 360 degrees (y up, as the angles are given).
    static QPainterPath clipPartOfCircular(const QRectF &rect, double percentBegin, double percentage);
    // The square the ring sits in, for a view of that size.
    static QRectF ringSquare(const QSizeF &size);

  protected:
    void paintEvent(QPaintEvent *) override;

  private:
    plat::TimerHandle m_updateTimer;
    double m_deltaAngle = 0;
};
