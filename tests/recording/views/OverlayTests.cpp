#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

#include "recording/DraggablePiPView.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/HudPanel.h"
#include "recording/SteadyDropShadowEffect.h"

namespace zimlo::recording {
namespace {

// Sends a left-button event at a point given in the container's coordinates.
void mouse(QWidget* view, QEvent::Type type, QPointF inContainer) {
    const QPointF local = inContainer - QPointF(view->pos());
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButtons buttons =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, local, view->mapToGlobal(local), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(view, &event);
}

void drag(QWidget* view, QPointF from, QPointF by, int steps) {
    mouse(view, QEvent::MouseButtonPress, from);
    for (int i = 1; i <= steps; ++i)
        mouse(view, QEvent::MouseMove, from + by * (double(i) / steps));
    mouse(view, QEvent::MouseButtonRelease, from + by);
}

TEST(SubtitleRegion, SizesFollowTheContainerAndDragsStoreTheNewPlace) {
    QWidget container;
    container.resize(1180, 700);
    DraggableSubtitleView region(&container);
    SubtitleLayout layout;
    layout.center = {0.5, 0.82};
    layout.maxWidth = 0.72;
    region.applyLayout(layout);
    EXPECT_EQ(region.size(), QSize(760, 104));
    EXPECT_EQ(region.geometry().center().y(), qRound(0.82 * 700) - 1);  // centred on y from the top

    std::vector<SubtitleLayout> reported;
    region.onLayoutChanged = [&](SubtitleLayout l) { reported.push_back(l); };
    drag(&region, region.geometry().center(), QPointF(0, -2000), 4);  // far past the top
    ASSERT_EQ(reported.size(), 4u);
    EXPECT_NEAR(reported.back().maxWidth, 760.0 / 1180, 1e-9);
    EXPECT_EQ(region.y(), 16);
    EXPECT_NEAR(reported.back().center.y, (16 + 52) / 700.0, 1e-9);
    EXPECT_EQ(reported.back().fontScale, 1.0);

    container.resize(300, 200);
    region.applyLayout(layout);
    EXPECT_EQ(region.size(), QSize(268, 104));
    EXPECT_EQ(region.x(), 16);

    // A container without area leaves the region where it is.
    const QRect before = region.geometry();
    container.resize(0, 0);
    region.applyLayout(layout);
    EXPECT_EQ(region.geometry(), before);
}

TEST(SubtitleRegion, PlaceholderAndCaption) {
    DraggableSubtitleView region;
    region.resize(400, 104);
    EXPECT_TRUE(region.isShowingPlaceholder());
    EXPECT_EQ(region.subtitleLabel()->text(), DraggableSubtitleView::placeholderText());
    EXPECT_EQ(region.toolTip(), QStringLiteral("拖动字幕区域可以调整显示位置"));
    region.showCaption(QString(200, QChar(0x5B57)));  // far more than two lines
    EXPECT_FALSE(region.isShowingPlaceholder());
    const QString shown = region.subtitleLabel()->text();
    EXPECT_EQ(shown.count(QLatin1Char('\n')), 1);
    EXPECT_TRUE(shown.endsWith(QChar(0x2026)));
    region.showPlaceholder();
    EXPECT_EQ(region.subtitleLabel()->text(), DraggableSubtitleView::placeholderText());
}

class PiPDrag : public ::testing::Test {
  protected:
    void SetUp() override {
        container.resize(1180, 700);
        pip = new DraggablePiPView(new QWidget, &container);
        pip->setGeometry(900, 500, 220, 150);
        pip->onLayoutChanged = [this] { recorder.record(true, pip, &container); };
    }
    double now = 100;
    PiPKeyframeRecorder recorder{[this] { return now += 0.25; }};
    QWidget container;
    DraggablePiPView* pip = nullptr;
};

TEST_F(PiPDrag, EveryStepDuringARecordingAddsAKeyframeWithALaterTime) {
    recorder.record(true, pip, &container);  // before the recording: dropped when it begins
    recorder.beginRecording();
    ASSERT_TRUE(recorder.pipTrack().empty());
    drag(pip, QPointF(1000, 550), QPointF(-500, -300), 10);
    const auto& track = recorder.pipTrack();
    ASSERT_EQ(track.size(), 10u);
    for (size_t i = 1; i < track.size(); ++i) EXPECT_GT(track[i].time, track[i - 1].time);
    EXPECT_GT(track.front().time, 0);
    const PiPKeyframe& last = track.back();
    EXPECT_NEAR(last.center.x, (400 + 110) / 1180.0, 1e-9);
    EXPECT_NEAR(last.center.y, (200 + 75) / 700.0, 1e-9);
    EXPECT_NEAR(last.size.width, 220 / 1180.0, 1e-9);
    EXPECT_NEAR(last.size.height, 150 / 700.0, 1e-9);
    EXPECT_EQ(last.cornerRadius, 18);
}

TEST_F(PiPDrag, StopsSixteenPointsInsideAndRecordsNothingWithoutAContainerArea) {
    drag(pip, QPointF(1000, 550), QPointF(5000, 5000), 3);
    EXPECT_EQ(pip->geometry(), QRect(1180 - 16 - 220, 700 - 16 - 150, 220, 150));
    EXPECT_EQ(recorder.pipTrack().size(), 3u);
    EXPECT_EQ(recorder.pipTrack().back().time, 0);  // not recording

    // A container too small for the window pins it to the left and bottom margins.
    container.resize(200, 100);
    drag(pip, QPointF(pip->geometry().center()), QPointF(-10, -10), 1);
    EXPECT_EQ(pip->geometry().topLeft(), QPoint(16, 100 - 16 - 150));

    container.resize(0, 0);
    EXPECT_FALSE(recorder.record(true, pip, &container));
    container.resize(1180, 700);
    EXPECT_FALSE(recorder.record(false, pip, &container));
    QWidget elsewhere;
    elsewhere.resize(1180, 700);
    EXPECT_FALSE(recorder.record(true, pip, &elsewhere));
    EXPECT_EQ(recorder.pipTrack().size(), 4u);
}

// A panel over the preview is drawn again with every preview frame; its shadow is blurred once
// for its size, not at every drawing, and it darkens what lies just below the panel and
// nothing far from it.
TEST(PanelShadow, IsBlurredOncePerSizeAndFallsBelowThePanel) {
    QWidget window;
    window.resize(400, 300);
    QPalette white = window.palette();
    white.setColor(QPalette::Window, Qt::white);
    window.setPalette(white);
    window.setAutoFillBackground(true);
    auto* panel = new HudPanel(&window, 18, true);
    panel->setGeometry(100, 100, 200, 60);
    auto* shadow = new SteadyDropShadowEffect(QColor(0, 0, 0, 56), 18, QPointF(0, 5), panel);
    panel->setGraphicsEffect(shadow);
    window.show();

    QImage shot;
    for (int i = 0; i < 10; ++i) shot = window.grab().toImage();
    EXPECT_EQ(shadow->shadowsMade(), 1);
    const QColor below = shot.pixelColor(200, 100 + 60 + 5);
    EXPECT_LT(below.lightness(), 250) << "no shadow just below the panel";
    EXPECT_GT(below.lightness(), 180) << "the shadow is far darker than asked for";
    EXPECT_EQ(shot.pixelColor(10, 10), QColor(Qt::white));
    EXPECT_EQ(shot.pixelColor(200, 100 + 60 + 40), QColor(Qt::white));

    panel->resize(240, 60);
    shot = window.grab().toImage();
    EXPECT_EQ(shadow->shadowsMade(), 2);
    EXPECT_LT(shot.pixelColor(335, 100 + 60 + 5).lightness(), 250)
        << "the shadow kept its old size";
}

}  // namespace
}  // namespace zimlo::recording
