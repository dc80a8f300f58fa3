// A progress box drawn over a view or a window: indeterminate spinner, round determinate ring, horizontal
// bar or text only; a label; margin and vertical offset of the box; animated or instant show and hide;
// hide after a delay (plat::Scheduler); removal from its parent once hidden; an optional button.
#pragma once

#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include "platform/Scheduler.h"

namespace appkit {

class ProgressOverlay : public QWidget {
    Q_OBJECT
  public:
    enum class Mode { Indeterminate, Determinate, Bar, Text };

    // Covers `host` (a view, or a window's content) and follows its size. Created hidden.
    explicit ProgressOverlay(QWidget *host);
    ~ProgressOverlay() override;

    Mode mode() const { return m_mode; }
    void setMode(Mode m);
    QString labelText() const { return m_label; }
    void setLabelText(const QString &text);
    double margin() const { return m_margin; }
    void setMargin(double m);
    double yOffset() const { return m_yOffset; }
    void setYOffset(double y);  // points from the centre, downwards
    float progress() const { return m_progress; }
    void setProgress(float fraction);
    // An empty text removes the button.
    void setButtonText(const QString &text);
    QString buttonText() const;
    QPushButton *button() const { return m_button; }
    bool removeFromSuperViewOnHide() const { return m_removeOnHide; }
    void setRemoveFromSuperViewOnHide(bool on) { m_removeOnHide = on; }

    void showAnimated(bool animated);
    void hideAnimated(bool animated);
    void hideAfter(int64_t ms, bool animated = true);
    // Takes the overlay out of its parent now and deletes it later.
    void removeFromSuperview();
    bool isShown() const { return m_shown; }
    // The box's rectangle inside the overlay.
    QRect boxRect() const;

  Q_SIGNALS:
    void buttonPressed();
    void hidden();  // hiding has finished

  protected:
    void paintEvent(QPaintEvent *) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void finishHide();
    void layoutButton();
    QSize contentSize() const;
    void setOpacity(double o);

    Mode m_mode = Mode::Indeterminate;
    QString m_label;
    double m_margin = 20;
    double m_yOffset = 0;
    float m_progress = 0;
    bool m_removeOnHide = false;
    bool m_shown = false;
    double m_opacity = 1.0;
    int m_spin = 0;
    QPointer<QWidget> m_host;
    QPushButton *m_button = nullptr;
    plat::TimerHandle m_hideTimer;
    plat::TimerHandle m_frameTimer;
    plat::TimerHandle m_fadeTimer;
};

}  // namespace appkit
