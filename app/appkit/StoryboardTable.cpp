// Every scene the application loads by storyboard name and identifier.
#include <QString>
#include <QWidget>

#include "shell/MenuWindows.h"
#include "shell/QVDeviceChoiceWindowController.h"
#include "shell/QVLoginWindowController.h"
#include "shell/QVMainWindowController.h"

namespace appkit {

QWidget *instantiateBuiltIn(const QString &storyboard, const QString &identifier) {
    struct Row {
        const char *storyboard;
        const char *identifier;
        QWidget *(*make)();
    };
    static const Row kRows[] = {
        {"Login", "QVLoginWindowController",
         [] { return static_cast<QWidget *>(new QVLoginWindowController); }},
        {"DeviceChoice", "QVDeviceChoiceWindowController",
         [] { return static_cast<QWidget *>(new QVDeviceChoiceWindowController); }},
        {"Main", "QVMainWindowController", [] { return static_cast<QWidget *>(new QVMainWindowController); }},
        {"QVUpdaterWindow", "QVUpdaterWindowController",
         [] { return static_cast<QWidget *>(new QVUpdaterWindowController); }},
        {"QVSetWindow", "QVSetWindowController",
         [] { return static_cast<QWidget *>(new QVSetWindowController); }},
    };
    for (const Row &r : kRows) {
        if (storyboard == QLatin1String(r.storyboard) && identifier == QLatin1String(r.identifier))
            return r.make();
    }
    return nullptr;
}

}  // namespace appkit
