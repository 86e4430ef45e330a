#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zimlo::sandbox {

// A private PulseAudio daemon for one process: a null sink as the default sink (what the
// computer "plays"), a pipe source as the default source (the microphone; its owner writes PCM
// into its pipe), reachable on a unix socket in a temporary directory. Starting it points
// PULSE_SERVER of this process at it, so every PulseAudio client the process creates uses it.
// Like XvfbServer, the daemon has a process group of its own and ends with the thread that
// started it.
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

    // The one server of this process, started on first use.
    static PulseServer& shared();

    const std::string& address() const { return address_; }  // "unix:/…/native"
    std::string sinkName() const { return "zimlo_speakers"; }
    std::string monitorName() const { return sinkName() + ".monitor"; }
    std::string microphoneName() const { return "zimlo_microphone"; }
    const std::string& microphonePipe() const { return pipePath_; }

    // Writes samples into the microphone pipe (opened on first use and kept open).
    void writeMicrophone(const std::vector<int16_t>& samples);
    // Speaks into the microphone at the pace a device would: `seconds` of 48 kHz audio in 10 ms
    // pieces, silent except for a 440 Hz tone from `toneAt` on. Returns the monotonic time (in
    // seconds) at which the tone's first piece was written.
    double speakToneInRealTime(double seconds, double toneAt);
    // Adds another virtual microphone (a pipe source, 48 kHz mono) named `name` with a
    // description, until the server stops; returns its pipe. Throws when the server refuses.
    std::string addMicrophone(const std::string& name, const std::string& description);
    // Speaks a 440 Hz tone into such a pipe for `seconds`, at a device's pace.
    static void speakToneInto(const std::string& pipe, double seconds);
    // Speaks `samples` (48 kHz mono, see SpeechFeed.h) into the microphone at a device's pace,
    // then keeps the microphone going with silence until `stop` turns true (when given), so the
    // source never starves. Pieces the daemon is not reading are dropped, never waited for.
    // Returns the monotonic time (in seconds) of the first piece.
    double speakInRealTime(const std::vector<int16_t>& samples,
                           const std::atomic<bool>* stop = nullptr);

    // The sound server going away and coming back, as on a desktop where it restarts by
    // itself: killed outright; started again on the same socket (sinks and sources as before);
    // stopped without dying (it answers nothing) and let go on.
    void kill();
    void restart();
    void freeze();
    void thaw();

  private:
    void launch();  // starts the daemon and waits until it accepts connections

    std::string dir_;
    std::string address_;
    std::string pipePath_;
    pid_t pid_ = -1;
    int pipeFd_ = -1;
};

// Plays into the default sink (the null sink) through its own PulseAudio stream: `silence`
// seconds of silence, then `tone` seconds of a sine at `frequency`. Blocks while it plays (run it
// on a thread of its own) and returns the monotonic time at which the tone's first sample is
// played, from the stream's own latency report.
double playTone(double silence, double tone, double frequency);

// Plays a sine at `frequency` (amplitude 0.8) into the default sink until `stop` turns true.
// Blocks meanwhile (run it on a thread of its own). Throws std::runtime_error when no stream
// can be opened.
void playToneUntilStopped(double frequency, const std::atomic<bool>& stop);

// Plays into the default sink a sound given by what is to be heard when: `sampleAt` is asked
// for each sample with the monotonic time (seconds) at which it will be heard, from the
// stream's own latency report. Blocks until `stop` turns true (run it on a thread of its own).
void playHeardAt(const std::function<int16_t(double heardAt)>& sampleAt,
                 const std::atomic<bool>& stop);

// A sine burst of `seconds` at `frequency` Hz and `amplitude` (0..1), 16-bit mono.
std::vector<int16_t> sineTone(double seconds, double frequency, double amplitude, int rate = 48000);

}  // namespace zimlo::sandbox
