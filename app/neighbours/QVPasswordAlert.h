// The password alert of the hidden space: two password entries (new and confirmation) and an error line;
// its first button is enabled only while both entries hold equal passwords of 6 to 32 characters. The
// dialog belongs to the windows; this is what the file views call.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

// The button code (first 1000, second 1001, third 1002) and the password (empty unless 1000 with a legal
// pair).
using QVPasswordAlertCompletion = std::function<void(int64_t returnCode, const QString &password)>;

class QVPasswordAlert {
  public:
    using Maker = std::function<std::shared_ptr<QVPasswordAlert>()>;
    // A new alert from the installed maker; without one an alert that answers 1001 and "".
    static std::shared_ptr<QVPasswordAlert> create();
    static void setMaker(Maker maker);
    virtual ~QVPasswordAlert() = default;

    virtual void setMessageText(const QString &text) { m_messageText = text; }
    QString messageText() const { return m_messageText; }
    virtual void addButtonWithTitle(const QString &title) { m_buttons.append(title); }
    QStringList buttons() const { return m_buttons; }
    // Runs the alert (modal for the application) and calls back once, on the main thread.
    virtual void passwordBeginSheetModalForWindowCompletionHandler(QVPasswordAlertCompletion completion);

    // The first button's rule: checked once each entry holds at least 2 characters; legal when both are
    // equal and 6 to 32 characters long.
    static bool isCheckable(const QString &password, const QString &confirmation);
    static bool isLegalPair(const QString &password, const QString &confirmation);

  private:
    QString m_messageText;
    QStringList m_buttons;
};
using QVPasswordAlertPtr = std::shared_ptr<QVPasswordAlert>;
