// Border lines, the date cell's hover, vertical centring, scaled resource images, action throttling and
// the fade presenter.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QEnterEvent>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include "appkit/QVColors.h"
#include "model/QVRootModel.h"
#include "platform/Scheduler.h"
#include "views/FilesPresentAnimator.h"
#include "views/NSControl_yb.h"
#include "views/NSView_Border.h"
#include "views/QVFileDateCell.h"
#include "views/QVTextFiledCellCenter.h"
#include "views/ZRBundleImageHandle.h"

namespace {

struct BorderRow {
    int number;
    bool fromIdentifier;
    QList<QRectF> rects;  // in a 100 x 50 view, y down
};

const QRectF kTop(0, 0, 100, 1), kBottom(0, 49, 100, 1), kLeft(0, 0, 1, 50), kRight(99, 0, 1, 50);

class BorderLines : public ::testing::TestWithParam<BorderRow> {};

TEST_P(BorderLines, FlagsSelectTheEdges) {
    EXPECT_EQ(borderLineRects(GetParam().number, GetParam().fromIdentifier, QSizeF(100, 50)),
              GetParam().rects);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BorderLines,
    ::testing::Values(BorderRow{12, true, {kTop, kLeft}}, BorderRow{16, true, {kBottom, kTop, kLeft, kRight}},
                      BorderRow{16, false, {kRight}}, BorderRow{30, false, {kBottom, kTop, kLeft, kRight}},
                      BorderRow{2, true, {kBottom}}, BorderRow{6, false, {kBottom, kTop}},
                      BorderRow{3, true, {}}, BorderRow{31, true, {}}, BorderRow{0, true, {}},
                      BorderRow{32, false, {}}, BorderRow{-2, false, {}}));

TEST(QVBorderView, IdentifierTwelveDrawsTopAndLeftInTheLineColour) {
    QVBorderView v;
    v.setObjectName("12");
    v.resize(40, 20);
    const QImage img = v.grab().toImage();
    EXPECT_EQ(QColor(img.pixel(20, 0)), QColor(197, 197, 197));
    EXPECT_EQ(QColor(img.pixel(0, 10)), QColor(197, 197, 197));
    EXPECT_NE(QColor(img.pixel(20, 19)), QColor(197, 197, 197));
    EXPECT_NE(QColor(img.pixel(39, 10)), QColor(197, 197, 197));
    EXPECT_EQ(identifierIntegerValue(""), 0);
    EXPECT_EQ(identifierIntegerValue("12abc"), 12);
    EXPECT_EQ(identifierIntegerValue("x12"), 0);
}

struct HoverLog : QVFileDateCellMouseTrackingDelegate {
    QList<std::pair<bool, uint64_t>> calls;
    void qvFileDateCellMouseTrackingDelegate(bool inside, uint64_t row) override {
        calls.append({inside, row});
    }
};

void enter(QWidget *w) {
    QEnterEvent e(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QApplication::sendEvent(w, &e);
}
void leave(QWidget *w) {
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(w, &e);
}

TEST(QVFileDateCell, ReportsHoverExceptForSelectedAndPublicRows) {
    QVFileDateCell cell;
    HoverLog log;
    cell.setTrackingDelegate(&log);
    EXPECT_EQ(cell.filesDateMouseDelegateFlags().qvFilesDateMouseInOrOut, 1u);
    cell.setCurrentRow(7);
    enter(&cell);
    leave(&cell);
    cell.setIsSelected(true);
    enter(&cell);
    leave(&cell);
    cell.setIsSelected(false);
    cell.setIsPublicCell(true);
    enter(&cell);
    cell.setIsPublicCell(false);
    for (int i = 0; i < 5; ++i) cell.resize(100 + i, 20);  // layout passes add no reports
    enter(&cell);
    EXPECT_EQ(log.calls, (QList<std::pair<bool, uint64_t>>{{true, 7}, {false, 7}, {true, 7}}));
    cell.setObjectValue(QVariant());
    EXPECT_EQ(cell.textField()->text(), "");
    cell.setObjectValue(QStringLiteral("2026-12-11 08:00"));
    EXPECT_EQ(cell.textField()->text(), "2026-12-11 08:00");
}

TEST(QVTextFiledCellCenter, ThirtyHighFrameWithSeventeenHighFont) {
    EXPECT_EQ(QVTextFiledCellCenter::adjustedFrameToVerticallyCenterText(QRectF(5, 10, 80, 30), 17),
              QRectF(5, 16, 80, 18));
    EXPECT_EQ(QVTextFiledCellCenter::adjustedFrameToVerticallyCenterText(QRectF(0, 0, 80, 30), 16.2),
              QRectF(0, 6, 80, 18));  // the height rounds up to 17 first
}

struct ScaleRow {
    const char *name;
    double scale;
    QStringList order;  // names looked for, in order
};

class ImageLookup : public ::testing::TestWithParam<ScaleRow> {};

TEST_P(ImageLookup, OrderOfVariants) {
    QStringList names;
    for (const QString &p :
         ZRBundleImageHandle::lookupOrder(QString::fromUtf8(GetParam().name), "png", GetParam().scale))
        names << p.section('/', -1);
    EXPECT_EQ(names, GetParam().order);
}

INSTANTIATE_TEST_SUITE_P(Table, ImageLookup,
                         ::testing::Values(ScaleRow{"icon", 2, {"icon@2x.png", "icon@3x.png", "icon.png"}},
                                           ScaleRow{"icon", 3, {"icon@3x.png", "icon@2x.png", "icon.png"}},
                                           ScaleRow{"icon", 1, {"icon.png", "icon@2x.png", "icon@3x.png"}},
                                           ScaleRow{"icon", 0, {"icon.png", "icon@2x.png", "icon@3x.png"}},
                                           ScaleRow{"icon@3x", 1, {"icon.png", "icon@2x.png", "icon@3x.png"}},
                                           ScaleRow{
                                               "a@2xb@2x", 1, {"ab.png", "a@2xb@2x.png", "a@3xb@3x.png"}}));

TEST(ZRBundleImageHandle, FirstFoundVariantWinsAndBundlesLookInsideThemselves) {
    QTemporaryDir dir;
    const QString old = ZRBundleImageHandle::resourceDirectory();
    ZRBundleImageHandle::setResourceDirectory(dir.path());
    QImage two(4, 4, QImage::Format_ARGB32);
    two.fill(Qt::red);
    two.save(dir.filePath("pic@2x.png"));
    QImage plain(2, 2, QImage::Format_ARGB32);
    plain.fill(Qt::blue);
    plain.save(dir.filePath("pic.png"));
    EXPECT_EQ(ZRBundleImageHandle::bundleImageWithName("pic", "png", 2).width(), 4);
    EXPECT_EQ(ZRBundleImageHandle::bundleImageWithName("pic", "png", 1).width(), 2);
    EXPECT_EQ(ZRBundleImageHandle::bundleImageWithName("pic", "png", 3).width(), 4);  // no @3x: @2x next
    EXPECT_TRUE(ZRBundleImageHandle::bundleImageWithName("none", "png", 1).isNull());
    QDir().mkpath(dir.filePath("Extra.bundle/Contents/Resources"));
    plain.save(dir.filePath("Extra.bundle/Contents/Resources/in@3x.png"));
    EXPECT_EQ(ZRBundleImageHandle::tempPathForResource_3x("in", "png", "Extra.bundle"),
              dir.filePath("Extra.bundle/Contents/Resources/in@3x.png"));
    EXPECT_EQ(ZRBundleImageHandle::tempPathForResource_x("in", "png", "Extra.bundle"), "");
    ZRBundleImageHandle::setResourceDirectory(old);
}

TEST(NSControlThrottle, OneActionPerInterval) {
    plat::FakeScheduler clock;
    QObject control;
    EXPECT_EQ(yb_acceptEventInterval(&control), 0.0);
    EXPECT_FALSE(yb_ignoreEvent(&control));
    int delivered = 0;
    auto click = [&] { yb_sendAction(&control, [&] { ++delivered; }); };
    click();
    click();
    EXPECT_EQ(delivered, 2);  // no interval: plain delivery
    setYb_acceptEventInterval(&control, 1.0);
    click();
    clock.advance(250);
    click();
    clock.advance(250);
    click();
    EXPECT_EQ(delivered, 3);
    clock.advance(600);  // 1.1 s after the first
    click();
    EXPECT_EQ(delivered, 4);
}

TEST(FilesPresentAnimator, PresentedViewCoversAllButTheTopInsetAndLeavesOnDismissal) {
    QWidget presenting;
    presenting.resize(400, 300);
    auto presented = std::make_unique<QWidget>();
    FilesPresentAnimator plain;
    EXPECT_EQ(plain.presentedFrame(QSize(400, 300)), QRect(0, 0, 400, 300));
    FilesPresentAnimator top(QMarginsF(0, 60, 0, 0));
    top.animatePresentationOfViewController(presented.get(), &presenting);
    EXPECT_EQ(presented->parentWidget(), &presenting);
    EXPECT_EQ(presented->geometry(), QRect(0, 60, 400, 240));
    auto *effect = qobject_cast<QGraphicsOpacityEffect *>(presented->graphicsEffect());
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->opacity(), 1.0);  // animations off: at once
    top.animateDismissalOfViewController(presented.get(), &presenting);
    EXPECT_EQ(presented->parentWidget(), nullptr);
    EXPECT_TRUE(presented->isHidden());
}

TEST(TreeModels, StartValues) {
    QVLeafModel leaf;
    EXPECT_TRUE(leaf.leafName.isEmpty());
    EXPECT_FALSE(leaf.leafName.isNull());
    EXPECT_FALSE(leaf.hasChildren);
    QVRootModel root;
    EXPECT_FALSE(root.isLeaf);
}

}  // namespace
