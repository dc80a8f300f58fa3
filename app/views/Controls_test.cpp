// The custom controls: busy ring, buttons, password box, image button.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <memory>

#include "appkit/QVColors.h"
#include "platform/Scheduler.h"
#include "views/QVButton.h"
#include "views/QVCircularIndicator.h"
#include "views/ZRActiveSecureTextField.h"
#include "views/ZRClickedImageView.h"

namespace {

bool isAccent(QRgb px) {
    const QColor c = QColor::fromRgba(px);
    return c.alpha() > 200 && std::abs(c.red() - 57) <= 2 && std::abs(c.green() - 148) <= 2 &&
           std::abs(c.blue() - 239) <= 2;
}

TEST(QVCircularIndicator, StartIsIdempotentAndTurnsByFourHundredthsPerFrame) {
    plat::FakeScheduler clock;
    QVCircularIndicator ring;
    ring.startAnimation();
    EXPECT_NEAR(ring.deltaAngle(), 0.04, 1e-6);  // fired once at once
    ring.startAnimation();                       // keeps the one timer, no extra step
    EXPECT_NEAR(ring.deltaAngle(), 0.04, 1e-6);
    EXPECT_EQ(clock.pending(), 1);
    clock.advance(33);
    EXPECT_NEAR(ring.deltaAngle(), 0.08, 1e-6);
    clock.advance(33 * 3);
    EXPECT_NEAR(ring.deltaAngle(), 0.20, 1e-6);
    ring.stopAnimation();
    clock.advance(1000);
    EXPECT_NEAR(ring.deltaAngle(), 0.20, 1e-6);  // stopping does not reset
    EXPECT_FALSE(ring.isAnimating());
}

TEST(QVCircularIndicator, WrapsToZeroPastOneTurn) {
    plat::FakeScheduler clock;
    QVCircularIndicator ring;
    ring.setDeltaAngle(0.99);
    ring.updateIndeterminate();
    EXPECT_EQ(ring.deltaAngle(), 0.0);
    ring.setDeltaAngle(0.96);
    ring.updateIndeterminate();  // 1.0 in single precision steps is not above 1 yet
    EXPECT_GT(ring.deltaAngle(), 0.99);
}

TEST(QVCircularIndicator, InAFortyByTwentyViewTheRingSitsAtXTen) {
    QVCircularIndicator ring;
    ring.resize(40, 20);
    EXPECT_EQ(QVCircularIndicator::ringSquare(QSizeF(40, 20)), QRectF(10, 0, 20, 20));
    const QImage img = ring.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    // Left and right of the square: nothing. On the ring's left and right sides (covered by the 80 % arc
    // at angle 0): blue. The hole in the middle: nothing.
    EXPECT_EQ(qAlpha(img.pixel(8, 10)), 0);
    EXPECT_EQ(qAlpha(img.pixel(32, 10)), 0);
    EXPECT_TRUE(isAccent(img.pixel(12, 10)));
    EXPECT_TRUE(isAccent(img.pixel(27, 10)));
    EXPECT_EQ(qAlpha(img.pixel(20, 10)), 0);
    // The gap: from the top going counter-clockwise, the upper-left eighth stays empty.
    EXPECT_EQ(qAlpha(img.pixel(15, 3)), 0);
    EXPECT_TRUE(isAccent(img.pixel(25, 3)));
}

TEST(QVButton, TitleOfFortyBySixteenMeasuresSixtySixByTwenty) {
    QVButton b;
    EXPECT_EQ(b.cell().cellSizeForBounds(QSizeF(40, 16)), QSizeF(66, 20));
    EXPECT_EQ(b.cell().titleRectForBounds(QRectF(0, 0, 66, 20)), QRectF(13, 2, 40, 16));
    b.setText("Help");
    const QFontMetricsF fm(b.font());
    EXPECT_EQ(b.sizeHint(), QSize(static_cast<int>(std::ceil(fm.horizontalAdvance("Help"))) + 26,
                                  static_cast<int>(std::ceil(fm.height())) + 4));
}

TEST(QVButton, DefaultLookInCodeAndABareCellFromAForm) {
    QVButton code;
    EXPECT_EQ(code.cornerRadius(), 4);
    EXPECT_EQ(code.backgroundColor(), QColor::fromRgbF(0, 0, 0, 0.3));
    EXPECT_EQ(code.textColor(), QColor::fromRgbF(0.2f, 0.2f, 0.2f, 0.9f));
    EXPECT_EQ(code.highlightTextColor(), QColor::fromRgbF(0.2f, 0.2f, 0.2f, 0.5f));
    EXPECT_EQ(code.padding(), QMarginsF(13, 2, 13, 2));
    EXPECT_EQ(code.font().pixelSize(), 13);
    EXPECT_TRUE(code.subpixelAntialiasing());

    QVButton red(QColor(255, 0, 0), nullptr);
    EXPECT_EQ(red.highlightColor(), QColor(255, 0, 0));
    EXPECT_EQ(red.highlightTextColor(), QColor(255, 0, 0));

    QVButton nib(QVButton::FromNib{}, nullptr);
    EXPECT_FALSE(nib.textColor().isValid());
    EXPECT_EQ(nib.cornerRadius(), 0);
    EXPECT_EQ(nib.padding(), QMarginsF());
    // No text colour: no title at rest, so the grab stays empty.
    nib.setText("Hidden title");
    nib.resize(120, 30);
    const QImage img = nib.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    bool anyInk = false;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) != 0 &&
                img.pixel(x, y) != nib.palette().color(QPalette::Window).rgba())
                anyInk = true;
    EXPECT_FALSE(anyInk);
}

TEST(QVButton, BackgroundColourSetsTheCellAndItsOwnBackground) {
    QVButton b;
    b.setBackgroundColor(QColor(1, 2, 3));
    EXPECT_EQ(b.cell().background(), QColor(1, 2, 3));
    EXPECT_EQ(b.cell().backgroundColor(), QColor(1, 2, 3));
    b.setShowHelpButtonCss();
    EXPECT_EQ(b.backgroundColor().alpha(), 0);
    EXPECT_EQ(b.highlightColor().alpha(), 0);
    EXPECT_EQ(b.textColor(), QColor::fromRgbF(0.4f, 0.4f, 0.4f, 1.0f));
}

TEST(QVBlueButton, BlueFillOverEverything) {
    QVBlueButton b;
    b.setText("Connect");
    b.resize(120, 30);
    const QImage img = b.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_TRUE(isAccent(img.pixel(1, 1)));
    EXPECT_TRUE(isAccent(img.pixel(118, 28)));
}

struct RecordingDelegate : ZRActiveSecureTextFieldDelegate {
    QStringList events;
    std::function<void(ZRActiveSecureTextField *)> onEnter;
    void activeSecureTextFieldBegainEidt(ZRActiveSecureTextField *) override { events << "begin"; }
    void activeSecureTextFieldDidChange(ZRActiveSecureTextField *f) override {
        events << "change:" + f->inputStr();
    }
    void activeSecureTextFieldDidEnter(ZRActiveSecureTextField *f) override {
        events << "enter";
        if (onEnter) onEnter(f);
    }
};

struct BoxFixture {
    QWidget window;
    ZRActiveSecureTextField *box;
    RecordingDelegate delegate;
    explicit BoxFixture(int32_t type) {
        window.resize(300, 100);
        box = new ZRActiveSecureTextField(QRect(10, 10, 200, 30), type, &window);
        box->setActiveSecureDelegate(&delegate);
        window.show();
        window.activateWindow();
        QApplication::setActiveWindow(&window);
    }
};

TEST(ZRActiveSecureTextField, PasswordBoxLayout) {
    BoxFixture f(0);
    EXPECT_TRUE(f.box->isSecureInput());
    EXPECT_TRUE(f.box->textField()->isHidden());
    ASSERT_NE(f.box->secureTextField(), nullptr);
    EXPECT_EQ(f.box->secureTextField()->geometry(), QRect(4, 6, 200 - 4 - 30, 17));
    EXPECT_EQ(f.box->changeInputTypeBtn()->geometry(), QRect(200 - 4 - 30, 0, 30, 30));
    EXPECT_EQ(f.box->changeInputTypeBtn()->imageName(), "miwendisc");
    EXPECT_FALSE(f.box->changeInputTypeBtn()->image().isNull());
    EXPECT_EQ(f.box->placeholderStr(), f.box->secureTextField()->placeholderText());
    EXPECT_EQ(f.box->secureTextField()->echoMode(), QLineEdit::Password);
}

TEST(ZRActiveSecureTextField, PlainTypeHasOneFieldSpanningTheWidth) {
    BoxFixture f(1);
    EXPECT_EQ(f.box->secureTextField(), nullptr);
    EXPECT_EQ(f.box->changeInputTypeBtn(), nullptr);
    EXPECT_EQ(f.box->textField()->geometry(), QRect(4, 6, 196, 17));
    EXPECT_TRUE(f.box->placeholderStr().isNull());
    QTest::keyClicks(f.box->textField(), "ab");
    EXPECT_EQ(f.box->inputStr(), "ab");
    f.box->changeInputAction();  // nothing to switch
    EXPECT_TRUE(f.box->isSecureInput());
}

TEST(ZRActiveSecureTextField, TextSurvivesEyeToggles) {
    BoxFixture f(0);
    QTest::keyClicks(f.box->secureTextField(), "abc");
    EXPECT_EQ(f.box->inputStr(), "abc");
    QTest::mouseClick(f.box->changeInputTypeBtn(), Qt::LeftButton);
    EXPECT_FALSE(f.box->isSecureInput());
    EXPECT_EQ(f.box->changeInputTypeBtn()->imageName(), "mingwendisc");
    EXPECT_FALSE(f.box->textField()->isHidden());
    EXPECT_TRUE(f.box->secureTextField()->isHidden());
    EXPECT_TRUE(f.box->textField()->hasFocus());
    QTest::keyClicks(f.box->textField(), "d");
    f.box->changeInputAction();
    EXPECT_TRUE(f.box->isSecureInput());
    EXPECT_EQ(f.box->inputStr(), "abcd");
    EXPECT_EQ(f.box->textField()->text(), "abcd");
    EXPECT_EQ(f.box->secureTextField()->text(), "abcd");
    EXPECT_TRUE(f.box->secureTextField()->hasFocus());
    EXPECT_EQ(f.delegate.events.first(), "begin");
    EXPECT_EQ(f.delegate.events.last(), "change:abcd");
}

TEST(ZRActiveSecureTextField, FocusedFrameIsThreePointsBlueAndRestsGrey) {
    BoxFixture f(0);
    auto *other = new QLineEdit(&f.window);
    other->setGeometry(10, 60, 100, 20);
    other->show();
    other->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(f.box->borderWidth(), 1);
    f.box->secureTextField()->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(f.box->borderWidth(), 3);
    EXPECT_EQ(f.box->borderColor(), QColor(46, 126, 253));
    const QImage focused = f.box->grab().toImage();
    EXPECT_EQ(QColor(focused.pixel(100, 1)), QColor(46, 126, 253));
    other->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(f.box->borderWidth(), 1);  // editing ended, even with an empty input
    EXPECT_EQ(f.box->borderColor(), QColor(200, 200, 200));
    const QImage resting = f.box->grab().toImage();
    EXPECT_EQ(QColor(resting.pixel(100, 2)), QColor(Qt::white));
}

TEST(ZRActiveSecureTextField, EnterIsReportedBeforeTheFocusReturns) {
    BoxFixture f(0);
    auto *other = new QLineEdit(&f.window);
    other->show();
    other->setFocus();
    bool focusedDuringEnter = true;
    f.delegate.onEnter = [&](ZRActiveSecureTextField *box) {
        focusedDuringEnter = box->secureTextField()->hasFocus();
    };
    f.box->enterAction();
    EXPECT_FALSE(focusedDuringEnter);
    EXPECT_TRUE(f.box->secureTextField()->hasFocus());
    EXPECT_EQ(f.delegate.events, QStringList{"enter"});
}

TEST(ZRActiveSecureTextField, ADelegateClosingTheDialogOnEnterEndsTheSequence) {
    auto window = std::make_unique<QWidget>();
    auto *box = new ZRActiveSecureTextField(QRect(0, 0, 200, 30), 0, window.get());
    RecordingDelegate d;
    d.onEnter = [&](ZRActiveSecureTextField *) { window.reset(); };
    box->setActiveSecureDelegate(&d);
    box->enterAction();  // must not touch the destroyed box
    EXPECT_EQ(window, nullptr);
}

TEST(ZRActiveSecureTextField, PlaceholderAndEmptying) {
    BoxFixture f(0);
    f.box->setPlaceholderStr("Code");
    EXPECT_EQ(f.box->textField()->placeholderText(), "Code");
    EXPECT_EQ(f.box->secureTextField()->placeholderText(), "Code");
    f.box->setPlaceholderStr(QString());
    f.box->setPlaceholderStr("Code");
    EXPECT_EQ(f.box->placeholderStr(), "Code");
    f.box->changeInputAction();
    QTest::keyClicks(f.box->textField(), "xyz");
    f.box->emptyInputValue();
    EXPECT_TRUE(f.box->inputStr().isEmpty());
    EXPECT_TRUE(f.box->textField()->text().isEmpty());
    f.box->changeInputAction();
    EXPECT_TRUE(f.box->secureTextField()->text().isEmpty());
}

TEST(ZRActiveSecureTextField, ClosingTheWindowClearsThePassword) {
    BoxFixture f(0);
    QTest::keyClicks(f.box->secureTextField(), "secret");
    f.window.close();
    EXPECT_TRUE(f.box->inputStr().isEmpty());
    EXPECT_TRUE(f.box->secureTextField()->text().isEmpty());
}

TEST(ZRClickedImageView, PressSendsTheActionWithItselfOnlyWhenSet) {
    ZRClickedImageView v;
    v.resize(20, 20);
    QSignalSpy spy(&v, &ZRClickedImageView::clicked);
    QTest::mousePress(&v, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(spy.count(), 0);
    ZRClickedImageView *sender = nullptr;
    v.setAction([&](ZRClickedImageView *s) { sender = s; });
    QTest::mousePress(&v, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(sender, &v);
    EXPECT_EQ(spy.count(), 1);
}

}  // namespace
