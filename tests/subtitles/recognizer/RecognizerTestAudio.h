#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/speech/SpeechRecognizer.h"
#include "subtitles/LiveSpeechRecognizer.h"
#include "support/TestMain.h"

namespace zimlo::test {

// Real read speech from pocketsphinx-testdata (16 kHz mono).
inline media::AudioSample librivox(const std::string& id) {
    auto read = speech::readWavFile(
        "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-" + id +
        ".wav");
    EXPECT_TRUE(read.ok()) << (read.ok() ? "" : read.error().message);
    return read.valueOr({});
}

// Near-silence (a faint deterministic hiss, as a real microphone gives) at 16 kHz mono.
inline media::AudioSample quiet(double seconds) {
    media::AudioSample sample;
    sample.format = media::SampleFormat::Int16;
    sample.sampleRate = 16000;
    sample.channels = 1;
    int frames = static_cast<int>(seconds * 16000);
    sample.data.resize(static_cast<size_t>(frames) * 2);
    uint32_t state = 12345;
    for (int i = 0; i < frames; ++i) {
        state = state * 1103515245u + 12345u;
        auto v = static_cast<int16_t>(static_cast<int>((state >> 16) % 7) - 3);
        std::memcpy(sample.data.data() + static_cast<size_t>(i) * 2, &v, 2);
    }
    return sample;
}

// Joins 16 kHz mono 16-bit pieces into one recording starting at time 0.
inline media::AudioSample joined(const std::vector<media::AudioSample>& pieces) {
    media::AudioSample all = quiet(0);
    for (const auto& piece : pieces)
        all.data.insert(all.data.end(), piece.data.begin(), piece.data.end());
    all.presentationTime = media::MediaTime::zero();
    return all;
}

inline double seconds(const media::AudioSample& sample) { return sample.duration().seconds(); }

// Feeds a recording in 100 ms pieces as fast as the decoder takes them. The recording clock
// it hands to the recogniser follows the audio fed, so times are those of a real-time run.
class PacedFeeder {
  public:
    LiveSpeechRecognizer::Clock clock() const {
        return [fed = fed_] { return fed->load(); };
    }
    void setTime(double t) { fed_->store(t); }

    // Pieces are stamped on that clock, as a microphone's samples are.
    void feed(LiveSpeechRecognizer& recognizer, const media::AudioSample& audio) {
        double base = fed_->load();
        for (auto& piece : speech::splitAudio(audio, 0.1)) {
            if (auto current = recognizer.request()) current->waitUntilDecoded(120);
            mainLoop().runPending();
            const double start = base + piece.presentationTime.seconds();
            piece.presentationTime = media::MediaTime::fromSeconds(start, 1'000'000'000);
            fed_->store(start + piece.duration().seconds());
            recognizer.appendAudioSample(piece);
        }
    }

    // Hands over a recording at once, as a microphone that delivers a backlog does, stamped
    // from the clock's time on; the clock moves to its end.
    void burst(LiveSpeechRecognizer& recognizer, const media::AudioSample& audio) {
        double base = fed_->load();
        for (auto& piece : speech::splitAudio(audio, 0.1)) {
            piece.presentationTime = media::MediaTime::fromSeconds(
                base + piece.presentationTime.seconds(), 1'000'000'000);
            recognizer.appendAudioSample(piece);
        }
        fed_->store(base + audio.duration().seconds());
    }

  private:
    std::shared_ptr<std::atomic<double>> fed_ = std::make_shared<std::atomic<double>>(0.0);
};

}  // namespace zimlo::test
