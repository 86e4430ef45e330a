#include "capture/PlatformErrorText.h"

#include <system_error>

#include "platform/i18n/Translation.h"

namespace zimlo::capture {
namespace {

// "text：detail", or the text alone without a detail.
std::string withDetail(const std::string& text, const std::string& detail) {
    if (detail.empty()) return text;
    return withArguments(translate("PlatformErrorText", "%1：%2"), {text, detail});
}

std::string systemText(int code) { return std::generic_category().message(code); }

}  // namespace

std::string userText(const screen::CaptureError& error) {
    using Kind = screen::CaptureError::Kind;
    const std::string& detail = error.detail();
    switch (error.kind()) {
        case Kind::displayUnreachable:
            if (detail.empty()) return translate("PlatformErrorText", "无法连接到 X 显示服务器");
            return withArguments(translate("PlatformErrorText", "无法连接到 X 显示服务器（%1）"),
                                 {detail});
        case Kind::unsupportedPixelFormat:
            return translate("PlatformErrorText", "不支持的屏幕像素格式（需要 24 位真彩色）");
        case Kind::displayNotFound:
            return translate("PlatformErrorText", "找不到要录制的显示器");
        case Kind::windowCaptureUnsupported:
            return translate("PlatformErrorText", "X 服务器不支持窗口录制（缺少 Composite 扩展）");
        case Kind::windowMissing:
            return translate("PlatformErrorText", "要录制的窗口已不存在");
        case Kind::xProtocolError:
            return withArguments(
                translate("PlatformErrorText", "无法开始录制屏幕内容（X 错误 %1）"), {detail});
        case Kind::windowClosed:
            return translate("PlatformErrorText", "要录制的窗口已关闭");
        case Kind::windowNotVisible:
            return translate("PlatformErrorText", "窗口当前不可见");
        case Kind::portalUnavailable:
            return translate("PlatformErrorText", "桌面门户不提供屏幕录制（ScreenCast）");
        case Kind::portalCannotRecordWindows:
            return translate("PlatformErrorText", "桌面门户不支持录制单个窗口");
        case Kind::portalCannotRecordScreens:
            return translate("PlatformErrorText", "桌面门户不支持录制整个屏幕");
        case Kind::portalRefused:
            return translate("PlatformErrorText", "屏幕录制未获授权或已取消选择");
        case Kind::portalFailed:
            return withDetail(translate("PlatformErrorText", "桌面门户无法开始屏幕共享"), detail);
        case Kind::portalGaveNoPipeWire:
            return translate("PlatformErrorText", "桌面门户无法开始屏幕共享：无法连接 PipeWire");
        case Kind::portalGaveNoStream:
            return translate("PlatformErrorText", "桌面门户无法开始屏幕共享：没有视频流");
        case Kind::portalGaveNoSession:
            return translate("PlatformErrorText", "桌面门户没有给出要录制的内容");
        case Kind::pipeWireUnavailable:
            return translate("PlatformErrorText", "无法启动 PipeWire");
        case Kind::pipeWireUnreachable:
            return translate("PlatformErrorText", "无法连接桌面的 PipeWire");
        case Kind::pipeWireStreamNotCreated:
            return translate("PlatformErrorText", "无法创建 PipeWire 视频流");
        case Kind::pipeWireStreamNotConnected:
            return translate("PlatformErrorText", "无法连接屏幕共享的视频流");
        case Kind::shareFailed:
            return withArguments(translate("PlatformErrorText", "屏幕共享出错：%1"),
                                 {detail.empty() ? std::string("PipeWire") : detail});
        case Kind::shareEnded:
            return withDetail(translate("PlatformErrorText", "屏幕共享已结束"), detail);
        case Kind::shareEndedByDesktop:
            return translate("PlatformErrorText", "屏幕共享已被桌面结束");
        case Kind::noPictures:
            return translate("PlatformErrorText", "屏幕共享没有送来画面");
        case Kind::stopped:
            return translate("PlatformErrorText", "录屏已停止");
        case Kind::other:
            return detail;
    }
    return error.what();
}

std::string userText(const audio::AudioError& error) {
    using Kind = audio::AudioError::Kind;
    switch (error.kind()) {
        case Kind::clientUnavailable:
            return translate("PlatformErrorText", "无法启动 PulseAudio 客户端");
        case Kind::serverUnreachable:
            return withArguments(translate("PlatformErrorText", "无法连接 PulseAudio 服务：%1"),
                                 {error.detail()});
        case Kind::noDefaultSource:
            return translate("PlatformErrorText", "PulseAudio 没有默认的录音设备");
        case Kind::unsupportedFormat:
            return translate("PlatformErrorText", "不支持的音频格式");
        case Kind::cannotOpenDevice:
            return withArguments(
                translate("PlatformErrorText", "无法打开录音设备 %1：%2"),
                {error.device().empty() ? translate("PlatformErrorText", "(默认)") : error.device(),
                 error.detail()});
        case Kind::streamFailed:
            return error.detail();  // the server's own words
        case Kind::streamEnded:
            return translate("PlatformErrorText", "录音流已结束");
        case Kind::serverNotAnswering:
            return translate("PlatformErrorText", "声音服务无响应");
        case Kind::other:
            return error.detail();
    }
    return error.what();
}

std::optional<std::string> userText(const std::optional<audio::AudioError>& error) {
    if (!error) return std::nullopt;
    return userText(*error);
}

std::string userText(const camera::CameraError& error) {
    using Kind = camera::CameraError::Kind;
    auto withSystemError = [&](const std::string& text) {
        if (!error.systemError()) return text;
        return withArguments(translate("PlatformErrorText", "%1：%2"),
                             {text, systemText(error.systemError())});
    };
    const std::string& device = error.device();
    switch (error.kind()) {
        case Kind::cannotOpen:
            return withSystemError(
                withArguments(translate("PlatformErrorText", "无法打开摄像头 %1"), {device}));
        case Kind::notACamera:
            return withArguments(translate("PlatformErrorText", "设备 %1 不是摄像头"), {device});
        case Kind::noUsableFormat:
            return withArguments(translate("PlatformErrorText", "摄像头 %1 没有可用的画面格式"),
                                 {device});
        case Kind::notOpen:
            return translate("PlatformErrorText", "摄像头未打开");
        case Kind::unsupportedFormat:
            return translate("PlatformErrorText", "摄像头不支持所选格式");
        case Kind::cannotSetFormat:
            return withSystemError(translate("PlatformErrorText", "无法设置摄像头格式"));
        case Kind::busy:
            return withSystemError(translate("PlatformErrorText", "摄像头正被占用"));
        case Kind::cannotAllocateBuffers:
            return withSystemError(translate("PlatformErrorText", "无法分配摄像头缓冲区"));
        case Kind::cannotMapBuffers:
            return withSystemError(translate("PlatformErrorText", "无法映射摄像头缓冲区"));
        case Kind::cannotQueueBuffers:
            return withSystemError(translate("PlatformErrorText", "无法使用摄像头缓冲区"));
        case Kind::cannotStart:
            return withSystemError(translate("PlatformErrorText", "无法启动摄像头"));
    }
    return error.what();
}

std::string userText(const screen::BackendChoice& choice) {
    using Problem = screen::BackendChoice::Problem;
    if (!choice.problem) return {};
    switch (*choice.problem) {
        case Problem::forcedX11WithoutDisplay:
            return translate("PlatformErrorText",
                             "ZIMLO_CAPTURE=x11，但没有 X11 显示（DISPLAY 未设置）");
        case Problem::forcedPortalUnavailable:
            return translate("PlatformErrorText",
                             "ZIMLO_CAPTURE=portal，但桌面门户不提供屏幕录制（ScreenCast）");
        case Problem::unknownForcedBackEnd:
            return withArguments(
                translate("PlatformErrorText", "ZIMLO_CAPTURE 只能是 x11 或 portal，而不是 %1"),
                {choice.forced});
        case Problem::waylandWithoutPortalOrDisplay:
            return translate("PlatformErrorText",
                             "Wayland 桌面未提供屏幕录制门户（xdg-desktop-portal 的 "
                             "ScreenCast），也没有 X11 显示");
        case Problem::noDesktop:
            return translate("PlatformErrorText",
                             "没有找到图形桌面（既没有 Wayland 也没有 X11 显示）");
    }
    return {};
}

}  // namespace zimlo::capture
