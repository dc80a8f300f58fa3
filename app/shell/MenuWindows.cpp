#include "shell/MenuWindows.h"

#include <QVBoxLayout>

namespace {
void fill(QWidget *w, const QString &title, const QString &text) {
    w->setWindowTitle(title);
    w->setAutoFillBackground(true);
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::white);
    w->setPalette(pal);
    auto *l = new QVBoxLayout(w);
    l->addWidget(new QLabel(text, w));
    w->resize(360, 160);
}
}  // namespace

QVUpdaterWindowController::QVUpdaterWindowController(QWidget *parent) : QWidget(parent, Qt::Window) {
    fill(this, QStringLiteral("New version"), QStringLiteral("Checking for a newer version..."));
}

QVSetWindowController::QVSetWindowController(QWidget *parent) : QWidget(parent, Qt::Window) {
    fill(this, QStringLiteral("Settings"), QStringLiteral("Download folder"));
}
