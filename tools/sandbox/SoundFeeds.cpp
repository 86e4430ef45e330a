#include "sandbox/SoundFeeds.h"

#include <exception>

#include "platform/runtime/Threads.h"
#include "sandbox/PulseServer.h"

namespace zimlo::sandbox {

void SoundFeeds::playTone(double frequency) {
    tone_ = startThread("sandbox-tone", [this, frequency] {
        try {
            playToneUntilStopped(frequency, stop_);
        } catch (const std::exception& error) {
            std::lock_guard lock(mutex_);
            problem_ = error.what();
        }
    });
}

void SoundFeeds::speak(std::vector<int16_t> samples) {
    speech_ = startThread("sandbox-speech", [this, samples = std::move(samples)] {
        try {
            speechStarted_ = pulse_.speakInRealTime(samples, &stop_);
        } catch (const std::exception& error) {
            std::lock_guard lock(mutex_);
            problem_ = error.what();
        }
    });
}

void SoundFeeds::stop() {
    stop_ = true;
    if (tone_.joinable()) tone_.join();
    if (speech_.joinable()) speech_.join();
}

std::string SoundFeeds::problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

}  // namespace zimlo::sandbox
