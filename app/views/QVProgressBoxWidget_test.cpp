#include "views/QVProgressBoxWidget.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>

#include "platform/Scheduler.h"

namespace {

void drainDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

TEST(QVProgressBoxWidget, GoesOnTheGivenViewOrTheShellWindowNeverTheActiveOne) {
    plat::FakeScheduler clock;
    QMainWindow shell;
    auto *content = new QWidget;
    shell.setCentralWidget(content);
    QWidget other;  // active, but not the shell's
    other.show();
    QApplication::setActiveWindow(&other);
    QWidget view;
    QVProgressBoxWidget box([&] { return static_cast<QWidget *>(&shell); });

    box.showBox(&view, false, "on the view", QVProgressBoxWidget::ModeIndeterminate, -1);
    ASSERT_NE(box.box(), nullptr);
    EXPECT_EQ(box.box()->parentWidget(), &view);

    box.showBox(nullptr, true, "prompt", QVProgressBoxWidget::ModeIndeterminate, 1000);
    drainDeletes();
    ASSERT_NE(box.box(), nullptr);
    EXPECT_EQ(box.box()->parentWidget(), content);
    EXPECT_TRUE(view.findChildren<appkit::ProgressOverlay *>().isEmpty());  // the first was replaced
    EXPECT_TRUE(other.findChildren<appkit::ProgressOverlay *>().isEmpty());
    clock.advance(1000);
    EXPECT_FALSE(box.box()->isShown());  // hidden by its delay, still in the slot
}

TEST(QVProgressBoxWidget, NoWindowNoBoxAndFinishingTakesTheClosingText) {
    plat::FakeScheduler clock;
    QVProgressBoxWidget none([] { return static_cast<QWidget *>(nullptr); });
    none.showBox(nullptr, true, "prompt", QVProgressBoxWidget::ModeText, 1000);
    EXPECT_EQ(none.box(), nullptr);
    none.finishBox("bye", 1000);  // empty slot: nothing

    QWidget view;
    QVProgressBoxWidget box([] { return static_cast<QWidget *>(nullptr); });
    box.showBox(&view, false, "waiting", QVProgressBoxWidget::ModeIndeterminate, -1);
    clock.advance(60000);
    EXPECT_TRUE(box.box()->isShown());  // stays until hidden
    box.finishBox("reconnect error", 1000);
    EXPECT_EQ(box.box()->labelText(), "reconnect error");
    clock.advance(1000);
    EXPECT_FALSE(box.box()->isShown());
    box.removeBox();
    drainDeletes();
    EXPECT_EQ(box.box(), nullptr);
    EXPECT_TRUE(view.findChildren<appkit::ProgressOverlay *>().isEmpty());
}

}  // namespace
