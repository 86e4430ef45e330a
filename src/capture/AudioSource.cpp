#include "capture/AudioSource.h"

#include "platform/i18n/Translation.h"

namespace zimlo::capture {

std::string audioTrackLabel(AudioSource source) {
    switch (source) {
        case AudioSource::system:
            return translate("AudioSource", "电脑声音");
        case AudioSource::microphone:
            return translate("AudioSource", "麦克风声音");
    }
    return {};
}

}  // namespace zimlo::capture
