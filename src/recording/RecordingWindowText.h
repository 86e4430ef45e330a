#pragma once

#include <QRect>
#include <QString>
#include <filesystem>
#include <optional>

#include "capture/CaptureState.h"
#include "capture/RecordingFileWriter.h"
#include "capture/ScreenCaptureStatus.h"
#include "model/RecordingSettings.h"
#include "platform/storage/FileError.h"

namespace zimlo::recording {

// Elapsed recording time as minutes and seconds ("%02d:%02d"); minutes grow past 99, negative
// times show as 00:00.
QString durationText(double elapsedSeconds);

// The processing overlay's title while a movie is composed: "正在合成视频… 42%", followed by
// "，预计还需 …" once the time left is known.
QString exportProgressText(double fraction, std::optional<double> secondsLeft);

// The status line for a state of the capture source.
QString captureStateText(const capture::CaptureState& state,
                         const std::optional<capture::ScreenCaptureStatus>& latestCaptureStatus,
                         const RecordingSettings& settings);

// Why a recording was cut short by its movie writer, in the user's words: "磁盘空间不足" for a
// full disk (or quota), otherwise "录制文件写入失败（…）" with the writer's own description.
QString recordingFailureReason(const capture::WriterError& error);

// The status line when a change of the settings could not be saved (it still applies now):
// "参数已更新：1080p · 30fps，但未能保存（只读文件系统：…）".
QString settingsNotSavedText(const QString& applied, const FileError& error);

// The status line, said once, when the settings file could not be used and the defaults apply.
QString settingsRejectedText(const std::filesystem::path& file);

// The status line when the sound of `source` is lost (its sound server died or froze) or flows
// again, during a recording or before one.
QString audioInterruptionText(capture::AudioSource source, bool lost, bool recording);

// The status line of a recording that starts without the computer's sound (no sound server):
// with the microphone `microphoneName` when there is one, else the picture alone.
QString recordingWithoutSystemAudioText(const std::optional<QString>& microphoneName);

// Where a camera window that still sits at the origin goes first: 28 points from the right
// edge and 88 below the top of the container. Nothing when it was placed already or the
// container has no area.
std::optional<QRect> defaultPiPFrame(QRect current, QSize container);

}  // namespace zimlo::recording
