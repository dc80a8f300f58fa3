#include "views/BaseViewController.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <memory>

#include "appkit/Make.h"
#include "platform/Scheduler.h"

namespace {

using appkit::ProgressOverlay;

void drainDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

int overlaysIn(QWidget *w) {
    return static_cast<int>(w->findChildren<ProgressOverlay *>().size());
}

struct Fixture {
    plat::FakeScheduler clock;
    std::unique_ptr<BaseViewController> vc{appkit::make<BaseViewController>()};
    Fixture() { vc->resize(400, 300); }
};

TEST(BaseViewController, ViewIsWhite) {
    Fixture f;
    EXPECT_EQ(f.vc->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_TRUE(f.vc->autoFillBackground());
}

struct ProgressRow {
    float fraction;
    bool removed;
};

class ProgressFraction : public ::testing::TestWithParam<ProgressRow> {};

TEST_P(ProgressFraction, HidesAndRemovesFromPointNineNine) {
    Fixture f;
    f.vc->showProgressHUDWithProgerssWithInfo("Copying", "Cancel", [] {});
    ProgressOverlay *shown = f.vc->heldProgressHUD();
    ASSERT_NE(shown, nullptr);
    f.vc->myProgressTaskWithProgress(GetParam().fraction);
    drainDeletes();
    EXPECT_EQ(f.vc->heldProgressHUD() == nullptr, GetParam().removed);
    EXPECT_EQ(overlaysIn(f.vc.get()), GetParam().removed ? 0 : 1);
    if (!GetParam().removed) {
        EXPECT_FLOAT_EQ(f.vc->heldProgressHUD()->progress(), GetParam().fraction);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressFraction,
                         ::testing::Values(ProgressRow{0.5f, false}, ProgressRow{0.989f, false},
                                           ProgressRow{0.99f, true}, ProgressRow{1.0f, true}));

TEST(BaseViewController, AfterTheEndAFractionMakesAFreshUnshownOverlay) {
    Fixture f;
    f.vc->showProgressHUDWithProgerssWithInfo("Copying", "", nullptr);
    f.vc->myProgressTaskWithProgress(0.99f);
    drainDeletes();
    f.vc->myProgressTaskWithProgress(0.3f);
    ASSERT_NE(f.vc->heldProgressHUD(), nullptr);
    EXPECT_FALSE(f.vc->heldProgressHUD()->isShown());
    EXPECT_FALSE(f.vc->heldProgressHUD()->isVisible());
}

class ButtonText : public ::testing::TestWithParam<std::pair<const char *, bool>> {};

TEST_P(ButtonText, ACancelButtonOnlyFromTwoCharacters) {
    Fixture f;
    f.vc->showProgressHUDWithProgerssWithInfo("Deleting", QString::fromUtf8(GetParam().first), [] {});
    EXPECT_EQ(f.vc->heldProgressHUD()->button() != nullptr, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Table, ButtonText,
                         ::testing::Values(std::make_pair("", false), std::make_pair("X", false),
                                           std::make_pair("取", false), std::make_pair("OK", true),
                                           std::make_pair("取消", true)));

TEST(BaseViewController, SecondCancellableOverlayReplacesTheFirstAndItsCallback) {
    Fixture f;
    f.vc->show();
    int first = 0;
    int second = 0;
    f.vc->showProgressHUDWithProgerssWithInfo("Moving", "Cancel", [&] { ++first; });
    f.vc->showProgressHUDWithProgerssWithInfo("Moving", "Cancel", [&] { ++second; });
    drainDeletes();
    ASSERT_EQ(overlaysIn(f.vc.get()), 1);
    QPushButton *b = f.vc->heldProgressHUD()->button();
    ASSERT_NE(b, nullptr);
    QTest::mouseClick(b, Qt::LeftButton);
    drainDeletes();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(f.vc->heldProgressHUD(), nullptr);
    EXPECT_FALSE(f.vc->hasEmptyBlock());
    EXPECT_EQ(overlaysIn(f.vc.get()), 0);
}

TEST(BaseViewController, EndedOverlayKeepsItsCallbackUntilReplaced) {
    Fixture f;
    f.vc->showProgressHUDWithProgerssWithInfo("Deleting", "Cancel", [] {});
    f.vc->hideProgressHUDWithProgressWithInfo();
    EXPECT_TRUE(f.vc->hasEmptyBlock());
}

TEST(BaseViewController, ShowsReplaceTheGeneralOverlay) {
    Fixture f;
    f.vc->showNormalProgressHUD();
    EXPECT_EQ(f.vc->heldHUD()->mode(), ProgressOverlay::Mode::Indeterminate);
    f.vc->showProgressHUDWithInfo("Loading");
    f.vc->showProgressHUDWithLabelDeterminate("Half");
    drainDeletes();
    EXPECT_EQ(overlaysIn(f.vc.get()), 1);
    EXPECT_EQ(f.vc->heldHUD()->mode(), ProgressOverlay::Mode::Determinate);
    EXPECT_EQ(f.vc->heldHUD()->labelText(), "Half");
    f.vc->showProgressHUDTextOnlyWithText("Note");
    EXPECT_EQ(f.vc->heldHUD()->margin(), 10);
    EXPECT_EQ(f.vc->heldHUD()->yOffset(), 150);
    f.vc->showProgressHUDWithBar();
    EXPECT_EQ(f.vc->heldHUD()->mode(), ProgressOverlay::Mode::Bar);
    f.vc->hideProgressHUD();
    f.vc->hideProgressHUD();  // nothing shown: nothing happens
    drainDeletes();
    EXPECT_EQ(overlaysIn(f.vc.get()), 0);
}

TEST(BaseViewController, SelfDismissingOverlaysEachGoTwoSecondsAfterTheirOwnCall) {
    Fixture f;
    f.vc->showProgressHUDAutoDismissWithOnlyInfo("one");
    f.clock.advance(1000);
    f.vc->showProgressHUDAutoDismissWithOnlyInfo("two");
    drainDeletes();
    EXPECT_EQ(overlaysIn(f.vc.get()), 2);
    EXPECT_EQ(f.vc->heldHUD(), nullptr);  // not kept
    f.clock.advance(999);
    drainDeletes();
    EXPECT_EQ(overlaysIn(f.vc.get()), 2);
    f.clock.advance(1);
    drainDeletes();
    ASSERT_EQ(overlaysIn(f.vc.get()), 1);
    EXPECT_EQ(f.vc->findChild<ProgressOverlay *>()->labelText(), "two");
    f.clock.advance(1000);
    drainDeletes();
    EXPECT_EQ(overlaysIn(f.vc.get()), 0);
}

TEST(BaseViewController, LoadingAutoDismissKeepsItsOverlayTwoSeconds) {
    Fixture f;
    f.vc->showProgressHUDAutoDismissWithLoadingInfo("Saved");
    ProgressOverlay *h = f.vc->heldHUD();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(h->isShown());
    f.clock.advance(1999);
    EXPECT_TRUE(h->isShown());
    f.clock.advance(1);
    drainDeletes();
    EXPECT_EQ(f.vc->heldHUD(), h);  // hidden, still held until the next show
    EXPECT_FALSE(h->isShown());
    EXPECT_FALSE(h->isVisible());
}

TEST(BaseViewController, WindowOverlayIsAddedButNotShown) {
    Fixture f;
    f.vc->showProgressHUDInWindow();
    ProgressOverlay *w = f.vc->windowHUD();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), f.vc.get());
    EXPECT_FALSE(w->isShown());
    f.vc->showProgressHUDInWindow();
    drainDeletes();
    EXPECT_EQ(overlaysIn(f.vc.get()), 1);
    f.vc->hideProgressHUDInWindow();
    drainDeletes();
    EXPECT_EQ(f.vc->windowHUD(), nullptr);
    EXPECT_EQ(overlaysIn(f.vc.get()), 0);
}

TEST(BaseViewController, LoadingViewIsMadeOnceAndIdempotent) {
    Fixture f;
    appkit::LoadingBubbles *v = f.vc->amazingLoadingView();
    EXPECT_EQ(f.vc->amazingLoadingView(), v);
    EXPECT_EQ(v->geometry(), QRect(150, 50, 100, 100));
    EXPECT_EQ(v->tintColor(), QColor(75, 138, 247));
    f.vc->showAmazingLoading();
    f.vc->showAmazingLoading();
    EXPECT_EQ(v->startCount(), 1);
    f.clock.advance(500);
    EXPECT_GT(v->phase(), 0.4);
    f.vc->hiddenAmazingLoading();
    f.vc->hiddenAmazingLoading();
    EXPECT_FALSE(v->isAnimating());
    const double stopped = v->phase();
    f.clock.advance(500);
    EXPECT_EQ(v->phase(), stopped);
}

}  // namespace
