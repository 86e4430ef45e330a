#pragma once

#include <pulse/error.h>
#include <pulse/simple.h>
#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zimlo::test {

// A private PulseAudio daemon for one test process: a null sink as the default sink (what the
// computer "plays"), a pipe source as the default source (the microphone; tests write PCM into
// its pipe), reachable on a unix socket in a temporary directory. Starting it points
// PULSE_SERVER of this process at it, so every PulseAudio client the test creates uses it.
class PulseServer {
  public:
    // The microphone pipe takes signed 16-bit little-endian mono at this rate.
    static constexpr int kMicrophoneRate = 48000;
    static constexpr int kMicrophoneChannels = 1;

    // Starts the daemon and waits until it accepts connections; throws std::runtime_error with
    // the daemon's log when it does not come up.
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // The one server of this test process, started on first use.
    static PulseServer& shared();

    const std::string& address() const { return address_; }  // "unix:/…/native"
    std::string sinkName() const { return "zimlo_test_sink"; }
    std::string monitorName() const { return sinkName() + ".monitor"; }
    std::string microphoneName() const { return "zimlo_test_mic"; }
    const std::string& microphonePipe() const { return pipePath_; }

    // Writes samples into the microphone pipe (opened on first use and kept open).
    void writeMicrophone(const std::vector<int16_t>& samples);
    // Speaks into the microphone at the pace a device would: `seconds` of 48 kHz audio in 10 ms
    // pieces, silent except for a 440 Hz tone from `toneAt` on. Returns the monotonic time (in
    // seconds) at which the tone's first piece was written.
    double speakToneInRealTime(double seconds, double toneAt);
    // Speaks `samples` (48 kHz mono, see loadSpeechClip) into the microphone at a device's pace,
    // then keeps the microphone going with silence until `stop` turns true (when given), so the
    // source never starves. Pieces the daemon is not reading are dropped, never waited for.
    // Returns the monotonic time (in seconds) of the first piece.
    double speakInRealTime(const std::vector<int16_t>& samples,
                           const std::atomic<bool>* stop = nullptr);

  private:
    std::string dir_;
    std::string address_;
    std::string pipePath_;
    pid_t pid_ = -1;
    int pipeFd_ = -1;
};

// Plays into the default sink (the null sink) through its own PulseAudio stream: `silence`
// seconds of silence, then `tone` seconds of a sine at `frequency`. Blocks while it plays (run it
// on a thread of its own) and returns the monotonic time at which the tone's first sample is
// played, from the stream's own latency report. Header-only so that only the tests that play
// sound link libpulse-simple.
inline double playTone(double silence, double tone, double frequency);

// A recording read from a 16-bit PCM WAV file (any rate; channels averaged), resampled to the
// microphone's 48 kHz mono. Throws std::runtime_error naming the file when it cannot be read.
std::vector<int16_t> loadSpeechClip(const std::string& wavPath);

// Plays a sine at `frequency` (amplitude 0.8) into the default sink until `stop` turns true.
// Blocks meanwhile (run it on a thread of its own). Header-only like playTone.
inline void playToneUntilStopped(double frequency, const std::atomic<bool>& stop);

// A sine burst of `seconds` at `frequency` Hz and `amplitude` (0..1), 16-bit mono.
std::vector<int16_t> sineTone(double seconds, double frequency, double amplitude, int rate = 48000);

// A 48 kHz mono playback stream into the default sink whose buffer holds `bufferUs`
// microseconds: writing blocks once it is full, so writers run at the sink's pace.
inline pa_simple* openTonePlayback(pa_usec_t bufferUs) {
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 1};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(bufferUs, &spec));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "zimlo-test", PA_STREAM_PLAYBACK, nullptr, "tone",
                                      &spec, nullptr, &attr, &error);
    if (!stream) throw std::runtime_error(std::string("cannot play: ") + pa_strerror(error));
    return stream;
}

inline double playTone(double silence, double tone, double frequency) {
    pa_simple* stream = openTonePlayback(30'000);
    int error = 0;
    const int piece = 480;  // 10 ms
    auto samples = sineTone(tone, frequency, 0.8);
    double toneStart = 0;
    // Writing blocks once the 30 ms buffer is full, so the loop runs at the sink's pace.
    for (int i = 0; i < static_cast<int>(silence * 100); ++i) {
        std::vector<int16_t> quiet(piece, 0);
        pa_simple_write(stream, quiet.data(), quiet.size() * 2, &error);
    }
    for (size_t offset = 0; offset < samples.size(); offset += piece) {
        size_t count = std::min<size_t>(piece, samples.size() - offset);
        if (pa_simple_write(stream, samples.data() + offset, count * 2, &error) < 0) break;
        if (offset == 0) {
            // The last written sample plays `latency` from now; the tone began one piece earlier.
            pa_usec_t latency = pa_simple_get_latency(stream, &error);
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            toneStart = static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9 + latency / 1e6 -
                        static_cast<double>(count) / 48000.0;
        }
    }
    pa_simple_drain(stream, &error);
    pa_simple_free(stream);
    return toneStart;
}

inline void playToneUntilStopped(double frequency, const std::atomic<bool>& stop) {
    // A deep buffer: a busy machine must not starve the sink (latency does not matter here).
    pa_simple* stream = openTonePlayback(250'000);
    int error = 0;
    // One second of whole cycles, repeated; writing blocks once the buffer is full.
    auto second = sineTone(1.0, std::round(frequency), 0.8);
    const size_t piece = 480;
    for (size_t offset = 0; !stop.load(); offset = (offset + piece) % second.size()) {
        if (pa_simple_write(stream, second.data() + offset, piece * 2, &error) < 0) break;
    }
    pa_simple_free(stream);
}

}  // namespace zimlo::test
