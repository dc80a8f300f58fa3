// Five bubbles circling a centre: a tint, a background colour, idempotent start and stop; stopping fades
// the view out. Frames come from plat::Scheduler (30 a second).
#pragma once

#include <QColor>
#include <QWidget>

#include "platform/Scheduler.h"

namespace appkit {

class LoadingBubbles : public QWidget {
    Q_OBJECT
  public:
    explicit LoadingBubbles(QWidget *parent = nullptr);

    void setTintColor(const QColor &c) {
        m_tint = c;
        update();
    }
    QColor tintColor() const { return m_tint; }
    void setBackgroundColor(const QColor &c) {
        m_background = c;
        update();
    }
    QColor backgroundColor() const { return m_background; }

    void startAnimating();  // a call while running does nothing
    void stopAnimating();   // fades out; a call while stopped does nothing
    bool isAnimating() const { return m_running; }
    double phase() const { return m_phase; }  // turns of the lead bubble, 0 to 1
    int startCount() const { return m_starts; }

  protected:
    void paintEvent(QPaintEvent *) override;

  private:
    QColor m_tint = QColor(75, 138, 247);
    QColor m_background = Qt::transparent;
    bool m_running = false;
    double m_phase = 0;
    double m_opacity = 1.0;
    int m_starts = 0;
    plat::TimerHandle m_frames;
    plat::TimerHandle m_fade;
};

}  // namespace appkit
