#include "capture/PlatformErrorText.h"

#include <system_error>

namespace zimlo::capture {
namespace {

std::string withDetail(const std::string& text, const std::string& detail) {
    return detail.empty() ? text : text + "：" + detail;
}

std::string systemText(int code) { return std::generic_category().message(code); }

}  // namespace

std::string userText(const screen::CaptureError& error) {
    using Kind = screen::CaptureError::Kind;
    const std::string& detail = error.detail();
    switch (error.kind()) {
        case Kind::displayUnreachable:
            return "无法连接到 X 显示服务器" + (detail.empty() ? "" : "（" + detail + "）");
        case Kind::unsupportedPixelFormat:
            return "不支持的屏幕像素格式（需要 24 位真彩色）";
        case Kind::displayNotFound:
            return "找不到要录制的显示器";
        case Kind::windowCaptureUnsupported:
            return "X 服务器不支持窗口录制（缺少 Composite 扩展）";
        case Kind::windowMissing:
            return "要录制的窗口已不存在";
        case Kind::xProtocolError:
            return "无法开始录制屏幕内容（X 错误 " + detail + "）";
        case Kind::windowClosed:
            return "要录制的窗口已关闭";
        case Kind::windowNotVisible:
            return "窗口当前不可见";
        case Kind::portalUnavailable:
            return "桌面门户不提供屏幕录制（ScreenCast）";
        case Kind::portalCannotRecordWindows:
            return "桌面门户不支持录制单个窗口";
        case Kind::portalCannotRecordScreens:
            return "桌面门户不支持录制整个屏幕";
        case Kind::portalRefused:
            return "屏幕录制未获授权或已取消选择";
        case Kind::portalFailed:
            return withDetail("桌面门户无法开始屏幕共享", detail);
        case Kind::portalGaveNoPipeWire:
            return "桌面门户无法开始屏幕共享：无法连接 PipeWire";
        case Kind::portalGaveNoStream:
            return "桌面门户无法开始屏幕共享：没有视频流";
        case Kind::portalGaveNoSession:
            return "桌面门户没有给出要录制的内容";
        case Kind::pipeWireUnavailable:
            return "无法启动 PipeWire";
        case Kind::pipeWireUnreachable:
            return "无法连接桌面的 PipeWire";
        case Kind::pipeWireStreamNotCreated:
            return "无法创建 PipeWire 视频流";
        case Kind::pipeWireStreamNotConnected:
            return "无法连接屏幕共享的视频流";
        case Kind::shareFailed:
            return "屏幕共享出错：" + (detail.empty() ? std::string("PipeWire") : detail);
        case Kind::shareEnded:
            return withDetail("屏幕共享已结束", detail);
        case Kind::shareEndedByDesktop:
            return "屏幕共享已被桌面结束";
        case Kind::noPictures:
            return "屏幕共享没有送来画面";
        case Kind::stopped:
            return "录屏已停止";
        case Kind::other:
            return detail;
    }
    return error.what();
}

std::string userText(const audio::AudioError& error) {
    using Kind = audio::AudioError::Kind;
    switch (error.kind()) {
        case Kind::clientUnavailable:
            return "无法启动 PulseAudio 客户端";
        case Kind::serverUnreachable:
            return "无法连接 PulseAudio 服务：" + error.detail();
        case Kind::noDefaultSource:
            return "PulseAudio 没有默认的录音设备";
        case Kind::unsupportedFormat:
            return "不支持的音频格式";
        case Kind::cannotOpenDevice:
            return "无法打开录音设备 " +
                   (error.device().empty() ? std::string("(默认)") : error.device()) + "：" +
                   error.detail();
        case Kind::streamFailed:
            return error.detail();  // the server's own words
        case Kind::streamEnded:
            return "录音流已结束";
        case Kind::serverNotAnswering:
            return "声音服务无响应";
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
        return error.systemError() ? text + "：" + systemText(error.systemError()) : text;
    };
    const std::string& device = error.device();
    switch (error.kind()) {
        case Kind::cannotOpen:
            return withSystemError("无法打开摄像头 " + device);
        case Kind::notACamera:
            return "设备 " + device + " 不是摄像头";
        case Kind::noUsableFormat:
            return "摄像头 " + device + " 没有可用的画面格式";
        case Kind::notOpen:
            return "摄像头未打开";
        case Kind::unsupportedFormat:
            return "摄像头不支持所选格式";
        case Kind::cannotSetFormat:
            return withSystemError("无法设置摄像头格式");
        case Kind::busy:
            return withSystemError("摄像头正被占用");
        case Kind::cannotAllocateBuffers:
            return withSystemError("无法分配摄像头缓冲区");
        case Kind::cannotMapBuffers:
            return withSystemError("无法映射摄像头缓冲区");
        case Kind::cannotQueueBuffers:
            return withSystemError("无法使用摄像头缓冲区");
        case Kind::cannotStart:
            return withSystemError("无法启动摄像头");
    }
    return error.what();
}

std::string userText(const screen::BackendChoice& choice) {
    using Problem = screen::BackendChoice::Problem;
    if (!choice.problem) return {};
    switch (*choice.problem) {
        case Problem::forcedX11WithoutDisplay:
            return "ZIMLO_CAPTURE=x11，但没有 X11 显示（DISPLAY 未设置）";
        case Problem::forcedPortalUnavailable:
            return "ZIMLO_CAPTURE=portal，但桌面门户不提供屏幕录制（ScreenCast）";
        case Problem::unknownForcedBackEnd:
            return "ZIMLO_CAPTURE 只能是 x11 或 portal，而不是 " + choice.forced;
        case Problem::waylandWithoutPortalOrDisplay:
            return "Wayland 桌面未提供屏幕录制门户（xdg-desktop-portal 的 ScreenCast），也没有 "
                   "X11 显示";
        case Problem::noDesktop:
            return "没有找到图形桌面（既没有 Wayland 也没有 X11 显示）";
    }
    return {};
}

}  // namespace zimlo::capture
