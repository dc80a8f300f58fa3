// The gallery: each overlay, control and window in a named state, from canned data, for people to look at.
//   tessera-gallery --list                  the states
//   tessera-gallery <state> [--screenshot PNG]   shows it (and saves a picture of it, then quits)
//   tessera-gallery --check-png PNG...      fails when a picture is all one colour
#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMap>
#include <QScreen>
#include <QTextStream>
#include <QVBoxLayout>
#include <cstdio>
#include <functional>
#include <memory>

#include "appkit/Animations.h"
#include "appkit/ImageNamed.h"
#include "appkit/Make.h"
#include "model/QVNasDeviceInfo.h"
#include "platform/Scheduler.h"
#include "shell/MenuWindows.h"
#include "shell/QVDeviceChoiceWindowController.h"
#include "shell/QVLoginWindowController.h"
#include "shell/QVMainWindowController.h"
#include "views/BaseViewController.h"
#include "views/NSView_Border.h"
#include "views/QVButton.h"
#include "views/QVCircularIndicator.h"
#include "views/QVFileDateCell.h"
#include "views/QVProgressBoxWidget.h"
#include "views/ZRActiveSecureTextField.h"

namespace {

using Builder = std::function<QWidget *()>;

BaseViewController *overlayHost() {
    auto *vc = appkit::make<BaseViewController>();
    vc->setWindowTitle(QStringLiteral("Overlay"));
    vc->resize(480, 360);
    auto *text = new QLabel(QStringLiteral("Documents\nPictures\nMusic\nVideos\n备份 2026"), vc);
    text->setGeometry(20, 20, 300, 120);
    return vc;
}

QList<QVNasDeviceInfoPtr> cannedDevices() {
    QList<QVNasDeviceInfoPtr> out;
    const struct {
        const char *name;
        const char *id;
        bool online;
    } rows[] = {{"Living-room NAS", "QV7F3A21", true},
                {"Office backup", "QV0B11C4", false},
                {"家里的存储", "QV55D0E9", true}};
    for (const auto &r : rows) {
        auto d = std::make_shared<QVNasDeviceInfo>();
        d->dev_name = QString::fromUtf8(r.name);
        d->device_id = QString::fromLatin1(r.id);
        d->online = r.online;
        out.append(d);
    }
    return out;
}

QMap<QString, Builder> states() {
    QMap<QString, Builder> m;
    m["overlay-indeterminate"] = [] {
        auto *vc = overlayHost();
        vc->showProgressHUDWithInfo(QStringLiteral("Loading..."));
        return vc;
    };
    m["overlay-determinate"] = [] {
        auto *vc = overlayHost();
        vc->showProgressHUDWithLabelDeterminate(QStringLiteral("Preparing"));
        vc->HUD()->setProgress(0.4f);
        return vc;
    };
    m["overlay-bar"] = [] {
        auto *vc = overlayHost();
        vc->showProgressHUDWithBar();
        vc->HUD()->setProgress(0.7f);
        return vc;
    };
    m["overlay-progress-cancel"] = [] {
        auto *vc = overlayHost();
        vc->showProgressHUDWithProgerssWithInfo(QStringLiteral("Copying 3 items"), QStringLiteral("Cancel"),
                                                [] {});
        vc->myProgressTaskWithProgress(0.6f);
        return vc;
    };
    m["overlay-text"] = [] {
        auto *vc = overlayHost();
        vc->showProgressHUDTextOnlyWithText(QStringLiteral("Saved to Downloads"));
        return vc;
    };
    m["overlay-autodismiss"] = [] {
        auto *vc = overlayHost();
        vc->showProgressHUDAutoDismissWithOnlyInfo(QStringLiteral("The network has changed"));
        return vc;
    };
    m["overlay-shared-box"] = [] {
        auto *vc = overlayHost();
        static QVProgressBoxWidget box([vc] { return static_cast<QWidget *>(vc); });
        box.showBox(nullptr, false, QStringLiteral("Reconnecting..."), QVProgressBoxWidget::ModeIndeterminate,
                    -1);
        return static_cast<QWidget *>(vc);
    };
    m["loading-bubbles"] = [] {
        auto *vc = overlayHost();
        vc->showAmazingLoading();
        return vc;
    };
    m["busy-ring"] = [] {
        auto *w = new QWidget;
        w->setWindowTitle(QStringLiteral("Busy ring"));
        w->resize(360, 120);
        const double angles[] = {0.0, 0.25, 0.5, 0.75};
        for (int i = 0; i < 4; ++i) {
            auto *ring = new QVCircularIndicator(w);
            ring->setGeometry(20 + i * 80, 20, 60, 60);
            ring->setDeltaAngle(angles[i]);
        }
        auto *wide = new QVCircularIndicator(w);
        wide->setGeometry(20, 90, 40, 20);
        return w;
    };
    m["buttons"] = [] {
        auto *w = new QWidget;
        w->setWindowTitle(QStringLiteral("Buttons"));
        w->resize(420, 200);
        auto *plain = new QVButton(w);
        plain->setText(QStringLiteral("Default"));
        plain->move(20, 20);
        plain->resize(plain->sizeHint());
        auto *pressed = new QVButton(w);
        pressed->setText(QStringLiteral("Pressed"));
        pressed->setDown(true);
        pressed->move(140, 20);
        pressed->resize(pressed->sizeHint());
        auto *help = new QVButton(w);
        help->setShowHelpButtonCss();
        help->setText(QStringLiteral("Forgot the password?"));
        help->move(260, 20);
        help->resize(help->sizeHint());
        auto *blue = new QVBlueButton(w);
        blue->setText(QStringLiteral("Sign in"));
        blue->setGeometry(20, 70, 380, 36);
        auto *blueIcon = new QVBlueButton(w);
        blueIcon->setText(QStringLiteral("Upload"));
        blueIcon->setIcon(QIcon(appkit::imageNamed(QStringLiteral("tessera-48"))));
        blueIcon->setGeometry(20, 120, 160, 25);
        return w;
    };
    m["password-box"] = [] {
        auto *w = new QWidget;
        w->setWindowTitle(QStringLiteral("Password box"));
        w->resize(360, 220);
        w->setAutoFillBackground(true);
        auto *hidden = new ZRActiveSecureTextField(QRect(20, 20, 300, 32), 0, w);
        hidden->secureTextField()->setText(QStringLiteral("secret"));
        auto *shown = new ZRActiveSecureTextField(QRect(20, 70, 300, 32), 0, w);
        shown->secureTextField()->setText(QStringLiteral("visible"));
        shown->setInputStr(QStringLiteral("visible"));
        shown->changeInputAction();
        auto *plain = new ZRActiveSecureTextField(QRect(20, 120, 300, 32), 1, w);
        plain->setPlaceholderStr(QStringLiteral("Verification code"));
        auto *focused = new ZRActiveSecureTextField(QRect(20, 170, 300, 32), 0, w);
        QMetaObject::invokeMethod(
            focused, [focused] { focused->secureTextField()->setFocus(); }, Qt::QueuedConnection);
        return w;
    };
    m["small-views"] = [] {
        auto *w = new QWidget;
        w->setWindowTitle(QStringLiteral("Small views"));
        w->resize(420, 160);
        int x = 20;
        for (const char *id : {"12", "30", "2", "16"}) {
            auto *b = new QVBorderView(w);
            b->setObjectName(QString::fromLatin1(id));
            b->setGeometry(x, 20, 80, 50);
            auto *l = new QLabel(QString::fromLatin1(id), b);
            l->setGeometry(30, 15, 30, 20);
            x += 95;
        }
        auto *cell = new QVFileDateCell(w);
        cell->setGeometry(20, 100, 200, 24);
        cell->setObjectValue(QStringLiteral("2026-12-11 08:00:00"));
        return w;
    };
    m["window-login"] = [] {
        auto *w = new QVLoginWindowController;
        w->contentViewController()->phoneField->setText(QStringLiteral("13800000000"));
        return static_cast<QWidget *>(w);
    };
    m["window-login-signing-in"] = [] {
        auto *w = new QVLoginWindowController;
        w->contentViewController()->phoneField->setText(QStringLiteral("13800000000"));
        w->contentViewController()->setSigningIn(true);
        w->contentViewController()->loadingRing->setDeltaAngle(0.3);
        return static_cast<QWidget *>(w);
    };
    m["window-login-error"] = [] {
        auto *w = new QVLoginWindowController;
        w->contentViewController()->phoneField->setText(QStringLiteral("13800000000"));
        w->contentViewController()->showMessage(QStringLiteral("The phone number or the password is wrong"));
        return static_cast<QWidget *>(w);
    };
    m["window-device-choice"] = [] {
        auto *w = new QVDeviceChoiceWindowController;
        w->contentViewController()->setDevices(cannedDevices());
        return static_cast<QWidget *>(w);
    };
    m["window-device-choice-connecting"] = [] {
        auto *w = new QVDeviceChoiceWindowController;
        w->contentViewController()->setDevices(cannedDevices());
        w->contentViewController()->setConnecting(true);
        return static_cast<QWidget *>(w);
    };
    m["window-device-choice-failed"] = [] {
        auto *w = new QVDeviceChoiceWindowController;
        w->contentViewController()->setDevices(cannedDevices());
        w->contentViewController()->showMessage(QStringLiteral("The device is not ready"));
        return static_cast<QWidget *>(w);
    };
    m["window-main"] = [] {
        auto *w = new QVMainWindowController;
        w->resize(900, 600);
        w->contentViewController()->setSummary(QStringLiteral("Living-room NAS"), 2, 5);
        return static_cast<QWidget *>(w);
    };
    m["window-main-logging-out"] = [] {
        auto *w = new QVMainWindowController;
        w->resize(900, 600);
        w->contentViewController()->setSummary(QStringLiteral("Living-room NAS"), 2, 5);
        w->contentViewController()->showProgressHUDWithInfo(QStringLiteral("Logging out..."));
        return static_cast<QWidget *>(w);
    };
    m["window-updater"] = [] { return static_cast<QWidget *>(new QVUpdaterWindowController); };
    m["window-settings"] = [] { return static_cast<QWidget *>(new QVSetWindowController); };
    return m;
}

bool isOneColour(const QImage &img) {
    if (img.isNull()) return true;
    const QImage i = img.convertToFormat(QImage::Format_ARGB32);
    const QRgb first = i.pixel(0, 0);
    for (int y = 0; y < i.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(i.constScanLine(y));
        for (int x = 0; x < i.width(); ++x)
            if (row[x] != first) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("qvnas"));
    QCoreApplication::setApplicationName(QStringLiteral("tessera-gallery"));
    appkit::initResources();
    appkit::Animations::setEnabled(false);  // each state as it stands, not half-way through a fade

    QCommandLineParser cli;
    cli.addHelpOption();
    QCommandLineOption list(QStringLiteral("list"), QStringLiteral("Print the states."));
    QCommandLineOption shot(QStringLiteral("screenshot"), QStringLiteral("Save the state to <png> and quit."),
                            QStringLiteral("png"));
    QCommandLineOption check(QStringLiteral("check-png"),
                             QStringLiteral("Fail when a picture is one colour."));
    cli.addOption(list);
    cli.addOption(shot);
    cli.addOption(check);
    cli.addPositionalArgument(QStringLiteral("state"), QStringLiteral("The state to show."));
    cli.process(app);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const auto all = states();
    if (cli.isSet(list)) {
        for (const QString &k : all.keys()) out << k << '\n';
        return 0;
    }
    if (cli.isSet(check)) {
        int bad = 0;
        for (const QString &f : cli.positionalArguments()) {
            if (isOneColour(QImage(f))) {
                err << "one colour (or unreadable): " << f << '\n';
                ++bad;
            }
        }
        return bad == 0 && !cli.positionalArguments().isEmpty() ? 0 : 1;
    }
    if (cli.positionalArguments().size() != 1 || !all.contains(cli.positionalArguments().first())) {
        err << "usage: tessera-gallery <state> [--screenshot PNG] (--list names the states)\n";
        return 2;
    }
    std::unique_ptr<QWidget> w(all.value(cli.positionalArguments().first())());
    w->move(0, 0);
    w->show();
    w->raise();
    w->activateWindow();
    plat::TimerHandle saver;
    if (cli.isSet(shot)) {
        const QString path = cli.value(shot);
        QWidget *win = w.get();
        saver = plat::Scheduler::current().after(600, &app, [path, win] {
            QScreen *s = win->screen();
            const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb");
            const QPixmap p = x11 && s != nullptr ? s->grabWindow(win->winId()) : win->grab();
            const bool ok = p.save(path);
            QCoreApplication::exit(ok ? 0 : 1);
        });
    }
    return app.exec();
}
