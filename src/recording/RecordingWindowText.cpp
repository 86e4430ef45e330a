#include "recording/RecordingWindowText.h"

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <cmath>

namespace zimlo::recording {

QString durationText(double elapsedSeconds) {
    const long long whole = std::isfinite(elapsedSeconds) && elapsedSeconds > 0
                                ? static_cast<long long>(std::floor(elapsedSeconds))
                                : 0;
    return QStringLiteral("%1:%2")
        .arg(whole / 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString exportProgressText(double fraction, std::optional<double> secondsLeft) {
    // Whole percents, never rounded up: 100 % only when everything is done.
    const double clamped = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
    const int percent = static_cast<int>(clamped * 100 + 1e-9);
    if (!secondsLeft || !std::isfinite(*secondsLeft) || clamped >= 1)
        return QCoreApplication::translate("RecordingWindowText", "正在合成视频… %1%").arg(percent);
    const long long left = static_cast<long long>(std::ceil(std::max(*secondsLeft, 0.0)));
    if (left < 60)
        return QCoreApplication::translate("RecordingWindowText",
                                           "正在合成视频… %1%，预计还需 %2 秒")
            .arg(percent)
            .arg(std::max(left, 1LL));
    return QCoreApplication::translate("RecordingWindowText",
                                       "正在合成视频… %1%，预计还需 %2 分 %3 秒")
        .arg(percent)
        .arg(left / 60)
        .arg(left % 60, 2, 10, QLatin1Char('0'));
}

QString captureStateText(const capture::CaptureState& state,
                         const std::optional<capture::ScreenCaptureStatus>& latestCaptureStatus,
                         const RecordingSettings& settings) {
    using Kind = capture::CaptureState::Kind;
    switch (state.kind) {
        case Kind::idle:
            return QCoreApplication::translate("RecordingWindowText", "等待初始化");
        case Kind::configured:
            if (latestCaptureStatus)
                return QString::fromStdString(latestCaptureStatus->displayText());
            return QCoreApplication::translate("RecordingWindowText", "已配置：%1，等待首帧…")
                .arg(QString::fromStdString(settings.summary()));
        case Kind::recording:
            return QCoreApplication::translate("RecordingWindowText", "正在录制…");
        case Kind::stopped:
            return QCoreApplication::translate("RecordingWindowText", "录制已停止");
        case Kind::failed:
            return QCoreApplication::translate("RecordingWindowText", "错误：%1")
                .arg(QString::fromStdString(state.message));
    }
    return {};
}

QString recordingFailureReason(const capture::WriterError& error) {
    if (error.systemError == ENOSPC || error.systemError == EDQUOT)
        return QCoreApplication::translate("RecordingWindowText", "磁盘空间不足");
    return QCoreApplication::translate("RecordingWindowText", "录制文件写入失败（%1）")
        .arg(QString::fromStdString(error.description()));
}

QString settingsNotSavedText(const QString& applied, const FileError& error) {
    const std::error_code& code = error.code;
    QString reason;
    if (code == std::errc::no_space_on_device || code.value() == EDQUOT)
        reason = QCoreApplication::translate("RecordingWindowText", "磁盘空间不足");
    else if (code == std::errc::read_only_file_system)
        reason = QCoreApplication::translate("RecordingWindowText", "只读文件系统");
    else if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
        reason = QCoreApplication::translate("RecordingWindowText", "没有写入权限");
    else
        reason = QString::fromStdString(code.message());
    return QCoreApplication::translate("RecordingWindowText", "%1，但未能保存（%2：%3）")
        .arg(applied, reason, QString::fromStdString(error.path.string()));
}

QString settingsRejectedText(const std::filesystem::path& file) {
    return QCoreApplication::translate(
               "RecordingWindowText",
               "设置文件无法使用（已损坏、过大或不是普通文件），已改用默认设置：%1")
        .arg(QString::fromStdString(file.string()));
}

QString audioInterruptionText(capture::AudioSource source, bool lost, bool recording) {
    // Whole sentences for each sound, so that a translation need not piece them together.
    const bool system = source == capture::AudioSource::system;
    if (!lost) {
        if (recording)
            return system ? QCoreApplication::translate("RecordingWindowText",
                                                        "电脑声音已恢复，继续录制")
                          : QCoreApplication::translate("RecordingWindowText",
                                                        "麦克风声音已恢复，继续录制");
        return system ? QCoreApplication::translate("RecordingWindowText", "电脑声音已恢复")
                      : QCoreApplication::translate("RecordingWindowText", "麦克风声音已恢复");
    }
    if (recording)
        return system ? QCoreApplication::translate(
                            "RecordingWindowText",
                            "电脑声音中断（声音服务无响应或已退出），画面继续录制，"
                            "声音服务恢复后自动接上")
                      : QCoreApplication::translate(
                            "RecordingWindowText",
                            "麦克风声音中断（声音服务无响应或已退出），画面继续录制，"
                            "声音服务恢复后自动接上");
    return system ? QCoreApplication::translate(
                        "RecordingWindowText",
                        "电脑声音不可用（声音服务无响应或已退出），恢复后自动接上")
                  : QCoreApplication::translate(
                        "RecordingWindowText",
                        "麦克风声音不可用（声音服务无响应或已退出），恢复后自动接上");
}

QString recordingWithoutSystemAudioText(const std::optional<QString>& microphoneName) {
    if (microphoneName)
        return QCoreApplication::translate("RecordingWindowText",
                                           "正在录制（%1；电脑声音不可用：未连接到声音服务）")
            .arg(*microphoneName);
    return QCoreApplication::translate("RecordingWindowText",
                                       "正在录制（仅画面；电脑声音不可用：未连接到声音服务）");
}

std::optional<QRect> defaultPiPFrame(QRect current, QSize container) {
    if (container.width() <= 0 || container.height() <= 0 || current.topLeft() != QPoint(0, 0))
        return std::nullopt;
    constexpr int w = 220, h = 150;
    // 88 points below the top edge, in top-left coordinates.
    return QRect(container.width() - w - 28, 88, w, h);
}

}  // namespace zimlo::recording
