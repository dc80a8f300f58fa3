// The widget behind the toolbox's one shared progress box: a ProgressOverlay on the given view, or on the
// shell's current window when none is given (never whatever window happens to be active). Main thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

#include "appkit/ProgressOverlay.h"
#include "tools/QVPrivateTools.h"

class QVProgressBoxWidget final : public QVProgressBoxHost {
  public:
    // Where a box without a view goes: the shell's window (the application delegate's current top-level
    // window), or null when none is open.
    using WindowProvider = std::function<QWidget *()>;

    explicit QVProgressBoxWidget(WindowProvider shellWindow) : m_shellWindow(std::move(shellWindow)) {}

    // Hides the box in the slot (animated; it leaves its view once hidden) and empties the slot. A box no
    // longer inside a view stays in the slot untouched.
    void removeBox() override;
    // A new box in the slot on `view` (null: the shell's window), with the label and mode, shown; hidden
    // after `hideAfterMs` unless negative. Without a view and without a shell window nothing is shown.
    void showBox(QObject *view, bool onKeyWindow, const QString &text, Mode mode, int hideAfterMs) override;
    // The box in the slot takes the label and hides after `hideAfterMs`; nothing with an empty slot.
    void finishBox(const QString &text, int hideAfterMs) override;

    appkit::ProgressOverlay *box() const { return m_box; }

  private:
    WindowProvider m_shellWindow;
    QPointer<appkit::ProgressOverlay> m_box;
};
