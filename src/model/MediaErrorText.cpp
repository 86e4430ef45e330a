#include "model/MediaErrorText.h"

namespace zimlo {

std::string userText(const media::MediaError& error) {
    using Kind = media::MediaError::Kind;
    switch (error.kind) {
        case Kind::library:
            return error.detail.empty() ? "未知错误 " + std::to_string(error.code) : error.detail;
        case Kind::system:
            return error.detail;
        case Kind::noSuchTrack:
            return "没有这条轨道";
        case Kind::noSuchVideoTrack:
            return "没有这条视频轨道";
        case Kind::noSuchAudioTrack:
            return "没有这条音频轨道";
        case Kind::noAudioTracks:
            return "没有音频轨道";
        case Kind::unsupportedCodec:
            return "不支持的编码格式 " + error.detail;
        case Kind::noMovie:
            return "没有影片";
        case Kind::notARegularFile:
            return "不是普通文件";
        case Kind::timedOut:
            return "读取影片超时";
        case Kind::noVideoTrack:
            return "影片没有视频轨道";
        case Kind::noPicture:
            return "影片中没有可用的画面";
        case Kind::pictureConversion:
            return "无法转换画面格式";
        case Kind::soundConversion:
            return "无法转换声音格式";
        case Kind::invalidTransform:
            return "画面变换无效";
        case Kind::notBGRA:
            return "只能保存 BGRA 画面";
        case Kind::noEncoder:
            return "找不到 " + error.detail + " 编码器";
        case Kind::outOfMemory:
            return "内存不足";
        case Kind::writeFailed:
            return "无法写入文件";
        case Kind::noOutputFile:
            return "没有输出文件";
        case Kind::invalidPictureSize:
            return "画面尺寸无效";
        case Kind::invalidSoundFormat:
            return "声音格式无效";
        case Kind::missingFormat:
            return "缺少格式信息";
        case Kind::writingStarted:
            return "写入已开始，不能再添加轨道";
        case Kind::noTracks:
            return "没有可写入的轨道";
        case Kind::soundTimestampJump:
            return "声音的时间戳异常：跳到了画面之后 " + error.detail + " 秒，无法写入";
        case Kind::tooManyTracks:
            return "影片不能再添加轨道";
    }
    return error.detail;
}

std::string userText(const std::optional<media::MediaError>& error, const std::string& otherwise) {
    return error ? userText(*error) : otherwise;
}

}  // namespace zimlo
