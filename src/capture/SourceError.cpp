#include "capture/SourceError.h"

#include "platform/i18n/Translation.h"

namespace zimlo::capture {
namespace {

std::string describe(SourceError::Kind kind, const std::string& message) {
    using Kind = SourceError::Kind;
    switch (kind) {
        case Kind::cannotAddScreenOutput:
        case Kind::cannotAddSystemAudioOutput:
        case Kind::cannotUpdateSettings:
        case Kind::deviceFailure:
            return message;
        case Kind::missingTarget:
            return translate("SourceError", "请先选择要录制的桌面或应用窗口");
        case Kind::noCamera:
            return translate("SourceError", "无法获取电脑摄像头");
        case Kind::noMicrophone:
            return translate("SourceError", "无法获取麦克风");
        case Kind::cannotConfigureCamera:
            return translate("SourceError", "无法配置摄像头");
        case Kind::cannotConfigureMicrophone:
            return translate("SourceError", "无法配置麦克风");
    }
    return message;
}

}  // namespace

SourceError::SourceError(Kind kind, std::string message)
    : kind(kind), message(std::move(message)), description_(describe(kind, this->message)) {}

}  // namespace zimlo::capture
