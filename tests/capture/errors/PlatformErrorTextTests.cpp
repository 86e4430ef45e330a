// What the user reads for each failure the screen back ends, the sound server and the cameras
// report: these are the texts the recording window, the picker and zimlo-tool have always shown.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "capture/PlatformErrorText.h"

namespace zimlo::capture {
namespace {

TEST(PlatformErrorText, ScreenCaptureFailures) {
    using screen::CaptureError;
    using Kind = CaptureError::Kind;
    const std::vector<std::pair<CaptureError, std::string>> cases = {
        {CaptureError(Kind::displayUnreachable, ":4095"), "无法连接到 X 显示服务器（:4095）"},
        {CaptureError(Kind::displayUnreachable), "无法连接到 X 显示服务器"},
        {CaptureError(Kind::unsupportedPixelFormat, "depth 16"),
         "不支持的屏幕像素格式（需要 24 位真彩色）"},
        {CaptureError(Kind::displayNotFound, "HDMI-1"), "找不到要录制的显示器"},
        {CaptureError(Kind::windowCaptureUnsupported),
         "X 服务器不支持窗口录制（缺少 Composite 扩展）"},
        {CaptureError(Kind::windowMissing, "window 42"), "要录制的窗口已不存在"},
        {CaptureError(Kind::xProtocolError, "8"), "无法开始录制屏幕内容（X 错误 8）"},
        {CaptureError(Kind::windowClosed), "要录制的窗口已关闭"},
        {CaptureError(Kind::windowNotVisible), "窗口当前不可见"},
        {CaptureError(Kind::portalUnavailable), "桌面门户不提供屏幕录制（ScreenCast）"},
        {CaptureError(Kind::portalCannotRecordWindows), "桌面门户不支持录制单个窗口"},
        {CaptureError(Kind::portalCannotRecordScreens), "桌面门户不支持录制整个屏幕"},
        {CaptureError(Kind::portalRefused, "Operation was cancelled"),
         "屏幕录制未获授权或已取消选择"},
        {CaptureError(Kind::portalFailed, "No outputs"), "桌面门户无法开始屏幕共享：No outputs"},
        {CaptureError(Kind::portalFailed), "桌面门户无法开始屏幕共享"},
        {CaptureError(Kind::portalGaveNoPipeWire), "桌面门户无法开始屏幕共享：无法连接 PipeWire"},
        {CaptureError(Kind::portalGaveNoStream), "桌面门户无法开始屏幕共享：没有视频流"},
        {CaptureError(Kind::portalGaveNoSession), "桌面门户没有给出要录制的内容"},
        {CaptureError(Kind::pipeWireUnavailable, "no thread loop"), "无法启动 PipeWire"},
        {CaptureError(Kind::pipeWireUnreachable), "无法连接桌面的 PipeWire"},
        {CaptureError(Kind::pipeWireStreamNotCreated), "无法创建 PipeWire 视频流"},
        {CaptureError(Kind::pipeWireStreamNotConnected, "node 7"), "无法连接屏幕共享的视频流"},
        {CaptureError(Kind::shareFailed, "no memory"), "屏幕共享出错：no memory"},
        {CaptureError(Kind::shareFailed), "屏幕共享出错：PipeWire"},
        {CaptureError(Kind::shareEnded, "connection closed"), "屏幕共享已结束：connection closed"},
        {CaptureError(Kind::shareEnded), "屏幕共享已结束"},
        {CaptureError(Kind::shareEndedByDesktop), "屏幕共享已被桌面结束"},
        {CaptureError(Kind::noPictures), "屏幕共享没有送来画面"},
        {CaptureError(Kind::stopped), "录屏已停止"},
        {CaptureError(Kind::other, "bad_alloc"), "bad_alloc"},
    };
    std::set<Kind> covered;
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(userText(error), text) << error.what();
        EXPECT_NE(std::string(error.what()), text);  // the log gets its own words
        covered.insert(error.kind());
    }
    EXPECT_EQ(covered.size(), static_cast<size_t>(Kind::other) + 1) << "a kind without a text";
}

TEST(PlatformErrorText, SoundServerFailures) {
    using audio::AudioError;
    using Kind = AudioError::Kind;
    const std::vector<std::pair<AudioError, std::string>> cases = {
        {AudioError(Kind::clientUnavailable), "无法启动 PulseAudio 客户端"},
        {AudioError(Kind::serverUnreachable, "Connection refused"),
         "无法连接 PulseAudio 服务：Connection refused"},
        {AudioError(Kind::noDefaultSource), "PulseAudio 没有默认的录音设备"},
        {AudioError(Kind::unsupportedFormat), "不支持的音频格式"},
        {AudioError(Kind::cannotOpenDevice, "No such entity", "mic"),
         "无法打开录音设备 mic：No such entity"},
        {AudioError(Kind::cannotOpenDevice, "Timeout"), "无法打开录音设备 (默认)：Timeout"},
        {AudioError(Kind::streamFailed, "Connection terminated"), "Connection terminated"},
        {AudioError(Kind::streamEnded), "录音流已结束"},
        {AudioError(Kind::serverNotAnswering), "声音服务无响应"},
        {AudioError(Kind::other, "thread failed"), "thread failed"},
    };
    std::set<Kind> covered;
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(userText(error), text) << error.what();
        covered.insert(error.kind());
    }
    EXPECT_EQ(covered.size(), static_cast<size_t>(Kind::other) + 1) << "a kind without a text";
    EXPECT_EQ(userText(std::optional<AudioError>()), std::nullopt);
    EXPECT_EQ(userText(std::optional(AudioError(Kind::serverNotAnswering))), "声音服务无响应");
}

TEST(PlatformErrorText, CameraFailuresWithTheSystemsReason) {
    using camera::CameraError;
    using Kind = CameraError::Kind;
    const std::vector<std::pair<CameraError, std::string>> cases = {
        {CameraError(Kind::cannotOpen, "/dev/video0", EACCES),
         "无法打开摄像头 /dev/video0：Permission denied"},
        {CameraError(Kind::cannotOpen, "generated-camera", EACCES),
         "无法打开摄像头 generated-camera：Permission denied"},
        {CameraError(Kind::notACamera, "/dev/video1"), "设备 /dev/video1 不是摄像头"},
        {CameraError(Kind::noUsableFormat, "/dev/video2"), "摄像头 /dev/video2 没有可用的画面格式"},
        {CameraError(Kind::notOpen, "/dev/video0"), "摄像头未打开"},
        {CameraError(Kind::unsupportedFormat), "摄像头不支持所选格式"},
        {CameraError(Kind::cannotSetFormat, "/dev/video0", EINVAL),
         "无法设置摄像头格式：Invalid argument"},
        {CameraError(Kind::busy, "/dev/video0", EBUSY), "摄像头正被占用：Device or resource busy"},
        {CameraError(Kind::cannotAllocateBuffers, "/dev/video0", ENOMEM),
         "无法分配摄像头缓冲区：Cannot allocate memory"},
        {CameraError(Kind::cannotMapBuffers, "/dev/video0", ENOMEM),
         "无法映射摄像头缓冲区：Cannot allocate memory"},
        {CameraError(Kind::cannotQueueBuffers, "/dev/video0", EINVAL),
         "无法使用摄像头缓冲区：Invalid argument"},
        {CameraError(Kind::cannotStart, "/dev/video0", EIO), "无法启动摄像头：Input/output error"},
    };
    std::set<Kind> covered;
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(userText(error), text) << error.what();
        covered.insert(error.kind());
    }
    EXPECT_EQ(covered.size(), static_cast<size_t>(Kind::cannotStart) + 1)
        << "a kind without a text";
}

TEST(PlatformErrorText, WhyNoBackEndCanRecord) {
    using screen::BackendChoice;
    using Problem = BackendChoice::Problem;
    auto text = [](Problem problem, std::string forced = {}) {
        return userText(BackendChoice{std::nullopt, problem, std::move(forced)});
    };
    EXPECT_EQ(text(Problem::forcedX11WithoutDisplay, "x11"),
              "ZIMLO_CAPTURE=x11，但没有 X11 显示（DISPLAY 未设置）");
    EXPECT_EQ(text(Problem::forcedPortalUnavailable, "portal"),
              "ZIMLO_CAPTURE=portal，但桌面门户不提供屏幕录制（ScreenCast）");
    EXPECT_EQ(text(Problem::unknownForcedBackEnd, "pipewire"),
              "ZIMLO_CAPTURE 只能是 x11 或 portal，而不是 pipewire");
    EXPECT_EQ(
        text(Problem::waylandWithoutPortalOrDisplay),
        "Wayland 桌面未提供屏幕录制门户（xdg-desktop-portal 的 ScreenCast），也没有 X11 显示");
    EXPECT_EQ(text(Problem::noDesktop), "没有找到图形桌面（既没有 Wayland 也没有 X11 显示）");
    EXPECT_EQ(userText(BackendChoice{screen::CaptureBackend::x11, std::nullopt, {}}), "");
}

}  // namespace
}  // namespace zimlo::capture
