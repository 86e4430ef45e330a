#include "model/MediaErrorText.h"

#include "platform/i18n/Translation.h"

namespace zimlo {

std::string userText(const media::MediaError& error) {
    using Kind = media::MediaError::Kind;
    switch (error.kind) {
        case Kind::library:
            if (!error.detail.empty()) return error.detail;
            return withArguments(translate("MediaErrorText", "未知错误 %1"),
                                 {std::to_string(error.code)});
        case Kind::system:
            return error.detail;
        case Kind::noSuchTrack:
            return translate("MediaErrorText", "没有这条轨道");
        case Kind::noSuchVideoTrack:
            return translate("MediaErrorText", "没有这条视频轨道");
        case Kind::noSuchAudioTrack:
            return translate("MediaErrorText", "没有这条音频轨道");
        case Kind::noAudioTracks:
            return translate("MediaErrorText", "没有音频轨道");
        case Kind::unsupportedCodec:
            return withArguments(translate("MediaErrorText", "不支持的编码格式 %1"),
                                 {error.detail});
        case Kind::noMovie:
            return translate("MediaErrorText", "没有影片");
        case Kind::notARegularFile:
            return translate("MediaErrorText", "不是普通文件");
        case Kind::timedOut:
            return translate("MediaErrorText", "读取影片超时");
        case Kind::noVideoTrack:
            return translate("MediaErrorText", "影片没有视频轨道");
        case Kind::noPicture:
            return translate("MediaErrorText", "影片中没有可用的画面");
        case Kind::pictureConversion:
            return translate("MediaErrorText", "无法转换画面格式");
        case Kind::soundConversion:
            return translate("MediaErrorText", "无法转换声音格式");
        case Kind::invalidTransform:
            return translate("MediaErrorText", "画面变换无效");
        case Kind::notBGRA:
            return translate("MediaErrorText", "只能保存 BGRA 画面");
        case Kind::noEncoder:
            return withArguments(translate("MediaErrorText", "找不到 %1 编码器"), {error.detail});
        case Kind::outOfMemory:
            return translate("MediaErrorText", "内存不足");
        case Kind::writeFailed:
            return translate("MediaErrorText", "无法写入文件");
        case Kind::noOutputFile:
            return translate("MediaErrorText", "没有输出文件");
        case Kind::invalidPictureSize:
            return translate("MediaErrorText", "画面尺寸无效");
        case Kind::invalidSoundFormat:
            return translate("MediaErrorText", "声音格式无效");
        case Kind::missingFormat:
            return translate("MediaErrorText", "缺少格式信息");
        case Kind::writingStarted:
            return translate("MediaErrorText", "写入已开始，不能再添加轨道");
        case Kind::noTracks:
            return translate("MediaErrorText", "没有可写入的轨道");
        case Kind::soundTimestampJump:
            return withArguments(
                translate("MediaErrorText", "声音的时间戳异常：跳到了画面之后 %1 秒，无法写入"),
                {error.detail});
        case Kind::tooManyTracks:
            return translate("MediaErrorText", "影片不能再添加轨道");
    }
    return error.detail;
}

std::string userText(const std::optional<media::MediaError>& error, const std::string& otherwise) {
    return error ? userText(*error) : otherwise;
}

}  // namespace zimlo
