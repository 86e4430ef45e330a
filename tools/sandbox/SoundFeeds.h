#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zimlo::sandbox {

class PulseServer;

// The sounds of a recording on a PulseServer: a tone played into the speakers (the default sink)
// and speech fed into the microphone, each on a thread of its own until stop().
class SoundFeeds {
  public:
    explicit SoundFeeds(PulseServer& pulse) : pulse_(pulse) {}
    ~SoundFeeds() { stop(); }
    SoundFeeds(const SoundFeeds&) = delete;
    SoundFeeds& operator=(const SoundFeeds&) = delete;

    // Starts a sine at `frequency` in the speakers. Failures of either feed are kept for problem().
    void playTone(double frequency);
    // Starts feeding `samples` (48 kHz mono) to the microphone at a device's pace, then silence.
    void speak(std::vector<int16_t> samples);
    // Ends both feeds and waits for their threads. Safe to call again.
    void stop();

    // Monotonic seconds at which the speech's first piece went in; known once stop() returned.
    double speechStarted() const { return speechStarted_.load(); }
    // Why a feed failed; empty when both ran.
    std::string problem() const;

  private:
    PulseServer& pulse_;
    std::atomic<bool> stop_{false};
    std::atomic<double> speechStarted_{0};
    mutable std::mutex mutex_;
    std::string problem_;
    std::thread tone_, speech_;
};

}  // namespace zimlo::sandbox
