#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/media/MediaSample.h"
#include "platform/runtime/Result.h"

namespace zimlo::audio {

// A sound-server failure: what went wrong, the device concerned and the server's own words
// where there are some. The layers that show it put it in words; what() is for the log.
class AudioError : public std::runtime_error {
  public:
    enum class Kind {
        clientUnavailable,   // the client library could not start
        serverUnreachable,   // detail: the server's words
        noDefaultSource,     // the server names no recording device
        unsupportedFormat,   // a sample format the server cannot record
        cannotOpenDevice,    // device (empty: the default one); detail: the server's words
        streamFailed,        // detail: the server's words
        streamEnded,         // the server ended the recording stream
        serverNotAnswering,  // the server stopped answering (frozen)
        other,               // detail: its own description
    };

    explicit AudioError(Kind kind, std::string detail = {}, std::string device = {});

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    const std::string& device() const { return device_; }

    friend bool operator==(const AudioError& a, const AudioError& b) {
        return a.kind_ == b.kind_ && a.detail_ == b.detail_ && a.device_ == b.device_;
    }

  private:
    Kind kind_;
    std::string detail_;
    std::string device_;
};

// What the server says about a recording device.
struct AudioSourceInfo {
    std::string name;         // unique on the server; identifies the device
    std::string description;  // human-readable
    media::SampleFormat format = media::SampleFormat::Float32;
    int sampleRate = 48000;
    int channels = 2;
    bool isMonitor = false;  // a sink's monitor rather than a real input
};

// Which stream to record and how.
struct CaptureRequest {
    std::string device;  // source name, or "@DEFAULT_MONITOR@" / "@DEFAULT_SOURCE@"
    media::SampleFormat format = media::SampleFormat::Float32;
    int sampleRate = 48000;
    int channels = 2;
    std::string streamName = "Zimlo";
    double fragmentSeconds = 0.02;  // how much audio one delivered sample holds, about
};

// Looks up the default source; fails when the server cannot be reached or has none. Every
// failure of this client is logged where it happens, with what was being done.
Result<AudioSourceInfo, AudioError> defaultSourceInfo();
// The default source when it is a real input (not a sink's monitor), or none.
std::optional<AudioSourceInfo> defaultMicrophone();
// Every real input of the server (sinks' monitors left out), in the server's order; fails as
// defaultSourceInfo when the server cannot be reached.
Result<std::vector<AudioSourceInfo>, AudioError> listMicrophones();
// The input named `name` when the server has it, else the default microphone: a chosen device
// that was unplugged gives way to the system's choice.
std::optional<AudioSourceInfo> microphoneNamed(const std::string& name);
// The source name of the default sink's monitor (what the computer plays), asked of the server;
// "@DEFAULT_MONITOR@" when it does not say. System audio is recorded from it.
std::string defaultSinkMonitorName();

// Records one PulseAudio stream on a thread of its own. Every delivered sample is stamped with
// the monotonic clock at the moment its first frame was captured, as the sound server tells it,
// and consecutive samples are contiguous unless the device clock wanders off by more than a
// small tolerance. A source that delivers faster than real time (a backlog let go at once) has
// its samples stamped back at the server's time, overlapping the ones before: no sample ends
// later than it was delivered (within the tolerance).
class PulseCapture {
  public:
    using SampleHandler = std::function<void(media::AudioSample)>;
    using ErrorHandler = std::function<void(const AudioError&)>;

    using Started = Result<std::unique_ptr<PulseCapture>, AudioError>;

    // Connects and starts recording; fails when the stream cannot be set up.
    // `onSample` and `onError` run on the capture thread; `onError` at most once.
    static Started start(const CaptureRequest& request, SampleHandler onSample,
                         ErrorHandler onError = {});

    // System audio: the default sink's monitor, 48 kHz stereo float.
    static Started startSystemAudio(SampleHandler onSample, ErrorHandler onError = {});
    // Microphone: `source` in its own format.
    static Started startMicrophone(const AudioSourceInfo& source, SampleHandler onSample,
                                   ErrorHandler onError = {});

    ~PulseCapture();
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Stops recording; no handler runs after it returns. Safe to call twice.
    void stop();
    // Asks the server something and waits up to `seconds` for the answer: false when it has
    // gone or stopped answering (frozen), which a quiet source alone does not tell.
    bool serverAnswers(double seconds);

    const CaptureRequest& request() const { return request_; }

    struct Impl;

  private:
    explicit PulseCapture(CaptureRequest request);
    CaptureRequest request_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zimlo::audio
