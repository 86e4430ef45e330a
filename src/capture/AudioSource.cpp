#include "capture/AudioSource.h"

namespace zimlo {

std::string audioTrackLabel(AudioSource source) {
    switch (source) {
        case AudioSource::system:
            return "电脑声音";
        case AudioSource::microphone:
            return "麦克风声音";
    }
    return {};
}

}  // namespace zimlo
