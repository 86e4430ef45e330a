#include <gtest/gtest.h>

#include <cmath>

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
    EXPECT_EQ(captureStateText(capture::CaptureState::idle(), std::nullopt, settings),
              QStringLiteral("等待初始化"));
    EXPECT_EQ(captureStateText(capture::CaptureState::recording(), std::nullopt, settings),
              QStringLiteral("正在录制…"));
    EXPECT_EQ(captureStateText(capture::CaptureState::stopped(), std::nullopt, settings),
              QStringLiteral("录制已停止"));
}

TEST(RecordingWindowText, ExportProgressInWholePercentsWithTheTimeLeft) {
    EXPECT_EQ(exportProgressText(0.429, std::nullopt), QStringLiteral("正在合成视频… 42%"));
    EXPECT_EQ(exportProgressText(0.999, 0.2), QStringLiteral("正在合成视频… 99%，预计还需 1 秒"));
    EXPECT_EQ(exportProgressText(0.5, 42.1), QStringLiteral("正在合成视频… 50%，预计还需 43 秒"));
    EXPECT_EQ(exportProgressText(0.1, 125),
              QStringLiteral("正在合成视频… 10%，预计还需 2 分 05 秒"));
    EXPECT_EQ(exportProgressText(1, 3), QStringLiteral("正在合成视频… 100%"));
    EXPECT_EQ(exportProgressText(NAN, NAN), QStringLiteral("正在合成视频… 0%"));
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
