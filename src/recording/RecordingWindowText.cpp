#include "recording/RecordingWindowText.h"

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
    QString text = QStringLiteral("正在合成视频… %1%").arg(static_cast<int>(clamped * 100 + 1e-9));
    if (!secondsLeft || !std::isfinite(*secondsLeft) || clamped >= 1) return text;
    const long long left = static_cast<long long>(std::ceil(std::max(*secondsLeft, 0.0)));
    if (left < 60) return text + QStringLiteral("，预计还需 %1 秒").arg(std::max(left, 1LL));
    return text + QStringLiteral("，预计还需 %1 分 %2 秒")
                      .arg(left / 60)
                      .arg(left % 60, 2, 10, QLatin1Char('0'));
}

QString captureStateText(const capture::CaptureState& state,
                         const std::optional<capture::ScreenCaptureStatus>& latestCaptureStatus,
                         const RecordingSettings& settings) {
    using Kind = capture::CaptureState::Kind;
    switch (state.kind) {
        case Kind::idle:
            return QStringLiteral("等待初始化");
        case Kind::configured:
            if (latestCaptureStatus)
                return QString::fromStdString(latestCaptureStatus->displayText());
            return QStringLiteral("已配置：") + QString::fromStdString(settings.summary()) +
                   QStringLiteral("，等待首帧…");
        case Kind::recording:
            return QStringLiteral("正在录制…");
        case Kind::stopped:
            return QStringLiteral("录制已停止");
        case Kind::failed:
            return QStringLiteral("错误：") + QString::fromStdString(state.message);
    }
    return {};
}

QString recordingFailureReason(const WriterError& error) {
    if (error.systemError == ENOSPC || error.systemError == EDQUOT)
        return QStringLiteral("磁盘空间不足");
    return QStringLiteral("录制文件写入失败（") + QString::fromStdString(error.description()) +
           QStringLiteral("）");
}

QString settingsNotSavedText(const QString& applied, const FileError& error) {
    const std::error_code& code = error.code;
    QString reason;
    if (code == std::errc::no_space_on_device || code.value() == EDQUOT)
        reason = QStringLiteral("磁盘空间不足");
    else if (code == std::errc::read_only_file_system)
        reason = QStringLiteral("只读文件系统");
    else if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
        reason = QStringLiteral("没有写入权限");
    else
        reason = QString::fromStdString(code.message());
    return applied + QStringLiteral("，但未能保存（") + reason + QStringLiteral("：") +
           QString::fromStdString(error.path.string()) + QStringLiteral("）");
}

QString settingsRejectedText(const std::filesystem::path& file) {
    return QStringLiteral("设置文件无法使用（已损坏、过大或不是普通文件），已改用默认设置：") +
           QString::fromStdString(file.string());
}

QString audioInterruptionText(AudioSource source, bool lost, bool recording) {
    const QString sound =
        source == AudioSource::system ? QStringLiteral("电脑声音") : QStringLiteral("麦克风声音");
    if (!lost)
        return sound + (recording ? QStringLiteral("已恢复，继续录制") : QStringLiteral("已恢复"));
    return sound + (recording ? QStringLiteral("中断（声音服务无响应或已退出），画面继续录制，"
                                               "声音服务恢复后自动接上")
                              : QStringLiteral("不可用（声音服务无响应或已退出），恢复后自动接上"));
}

QString recordingWithoutSystemAudioText(const std::optional<QString>& microphoneName) {
    if (microphoneName)
        return QStringLiteral("正在录制（") + *microphoneName +
               QStringLiteral("；电脑声音不可用：未连接到声音服务）");
    return QStringLiteral("正在录制（仅画面；电脑声音不可用：未连接到声音服务）");
}

std::optional<QRect> defaultPiPFrame(QRect current, QSize container) {
    if (container.width() <= 0 || container.height() <= 0 || current.topLeft() != QPoint(0, 0))
        return std::nullopt;
    constexpr int w = 220, h = 150;
    // 88 points below the top edge, in top-left coordinates.
    return QRect(container.width() - w - 28, 88, w, h);
}

}  // namespace zimlo::recording
