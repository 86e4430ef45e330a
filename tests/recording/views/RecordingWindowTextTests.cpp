#include <gtest/gtest.h>

#include "recording/RecordingWindowText.h"

namespace zimlo::recording {
namespace {

TEST(RecordingWindowText, DurationAndStateTexts) {
    EXPECT_EQ(durationText(3599.9), QStringLiteral("59:59"));
    EXPECT_EQ(durationText(3600), QStringLiteral("60:00"));
    EXPECT_EQ(durationText(75 * 60 + 3.7), QStringLiteral("75:03"));
    EXPECT_EQ(durationText(-2), QStringLiteral("00:00"));

    const auto settings = RecordingSettings::defaultSettings();
    EXPECT_EQ(captureStateText(capture::CaptureState::configured(), std::nullopt, settings),
              QStringLiteral("已配置：") + QString::fromStdString(settings.summary()) +
                  QStringLiteral("，等待首帧…"));
    EXPECT_EQ(captureStateText(capture::CaptureState::failed("坏了"), std::nullopt, settings),
              QStringLiteral("错误：坏了"));
}

TEST(RecordingWindowText, CameraWindowIsPlacedOnceNearTheTopRight) {
    EXPECT_EQ(defaultPiPFrame(QRect(0, 0, 220, 150), QSize(1180, 700)),
              QRect(1180 - 248, 88, 220, 150));
    EXPECT_FALSE(
        defaultPiPFrame(QRect(400, 200, 220, 150), QSize(1180, 700)));  // moved by the user
    EXPECT_FALSE(defaultPiPFrame(QRect(0, 0, 220, 150), QSize(0, 700)));
}

}  // namespace
}  // namespace zimlo::recording
