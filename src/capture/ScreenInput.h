#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/FrameRateMeter.h"
#include "capture/ScreenCaptureStatus.h"
#include "capture/ScreenCaptureTarget.h"
#include "capture/SourceError.h"
#include "model/RecordingSettings.h"
#include "platform/audio/ReconnectingCapture.h"
#include "platform/media/MediaSample.h"
#include "platform/runtime/Guarded.h"
#include "platform/runtime/Result.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/screen/CaptureStream.h"
#include "platform/x11/X11Types.h"

namespace zimlo::capture {

class PortalSessionKeeper;

// The screen stream of a recording window with the computer's sound beside it: builds and
// replaces the stream for the settings, suspends and resumes it, and measures the rate of the
// pictures it delivers. New pictures and the sound go to the handlers; nothing is recorded here.
class ScreenInput : public std::enable_shared_from_this<ScreenInput> {
  public:
    struct Options {
        std::string displayName;  // X display; empty: $DISPLAY
        // This process's windows, left out of what is captured; empty: the X server's.
        std::function<std::vector<x11::WindowInfo>()> ownWindowQuery;
        // Builds the X11 stream; empty: the X server's own stream.
        std::function<std::unique_ptr<screen::CaptureStream>(
            const x11::ContentFilter&, const screen::CaptureStreamConfiguration&)>
            makeScreenStream;
    };

    struct Handlers {
        std::function<RecordingSettings()> settings;             // those in force, for the status
        std::function<void(const media::VideoSample&)> picture;  // screen queue, new ones only
        std::function<void(media::AudioSample)> systemAudio;     // system-audio queue
        // The stream ended or could not start; the description says why. On the main queue,
        // or on the screen queue while replace cannot build the new stream.
        std::function<void(std::string)> failed;
        std::function<void(ScreenCaptureStatus)> status;  // main queue
        // Main queue: the computer's sound was lost (why) or flows again (none).
        std::function<void(std::optional<std::string>)> systemAudioInterruption;
    };

    struct FrameCounts {
        uint64_t delivered = 0;  // this stream's life, or the last stream's
        uint64_t dropped = 0;
        uint64_t late = 0;  // of the dropped: the capture fell behind (the rest: queue full)
        std::vector<screen::SourceCount> source;  // the back end's own
    };

    // A stuck X server must not hang the window.
    static constexpr double kOwnWindowQueryLimitSeconds = 2.0;
    // The computer's sound is handed on in batches of about this length (well inside the
    // recording's wait for its last sound after a stop).
    static constexpr double kSystemSoundBatchSeconds = 0.1;

    // The queues outlive the streams (the owner calls close before it lets them go). The
    // sound thread reaches its queue weakly: a queue must not be destroyed by its own thread.
    ScreenInput(ScreenCaptureTarget target, Options options, SerialQueue& screenQueue,
                std::weak_ptr<SerialQueue> systemAudioQueue, Handlers handlers);
    ~ScreenInput();
    ScreenInput(const ScreenInput&) = delete;
    ScreenInput& operator=(const ScreenInput&) = delete;

    // Builds the stream and its sound capture for `settings`. On failure the previous stream
    // stays. Main thread or screen queue.
    Result<void, SourceError> configure(const RecordingSettings& settings);
    // Starts the configured stream; false when there is none.
    bool start();
    // On the screen queue: stops the running stream, builds one for `settings` and starts it.
    // `done` has the first failure, on the screen queue or the stream's thread.
    void replace(const RecordingSettings& settings,
                 std::function<void(std::optional<SourceError>)> done);
    // Stops the stream on the screen queue; the sound stops with it.
    void shutdown();
    // Lets the streams go: no picture or sound reaches the queues afterwards.
    void close();
    // On the screen queue: stops a running stream until resume; false when none ran.
    bool suspend();
    void resume();

    // On the screen queue: counts a picture of the stream and hands it on when it is new
    // content (idle, blank, suspended and stopped frames end here).
    void takePicture(const media::VideoSample& sample);
    // On the screen queue: the newest picture of this stream. A still screen sends its next one
    // only after a while, so a recording opens with this one.
    std::optional<media::VideoSample> latestPicture() const;

    std::optional<std::string> systemAudioProblem() const;
    FrameCounts frameCounts() const;

  private:
    struct Stream;
    struct Streams {
        std::shared_ptr<Stream> current;
        // Portal targets: the session every stream of this input reads (the user chooses once).
        std::shared_ptr<PortalSessionKeeper> portalSessions;
        std::optional<FrameCounts> lastCounts;  // of the stream taken away
    };
    // Screen-queue state; configure resets it from the main thread as well.
    struct Pictures {
        FrameRateMeter meter;
        std::optional<media::VideoSample> latest;
        std::shared_ptr<Stream> suspended;  // the stream suspend stopped
    };

    std::shared_ptr<Stream> current() const;
    std::shared_ptr<Stream> takeStream();
    void startStream(const std::shared_ptr<Stream>& stream,
                     std::function<void(std::optional<std::string>)> started);
    static void postFailure(const std::weak_ptr<ScreenInput>& weak, std::string description);
    void reportStatus(int width, int height, std::optional<double> rate);
    std::unique_ptr<screen::CaptureStream> makePortalStream(
        screen::CaptureStreamConfiguration configuration, const RecordingSettings& settings);
    std::unique_ptr<screen::CaptureStream> makeX11Stream(
        const screen::CaptureStreamConfiguration& configuration);
    std::unique_ptr<audio::ReconnectingCapture> makeSystemAudioCapture();

    const ScreenCaptureTarget target_;
    const Options options_;
    const Handlers handlers_;
    SerialQueue& screenQueue_;
    const std::weak_ptr<SerialQueue> systemAudioQueue_;

    Guarded<Streams> streams_;
    Guarded<Pictures> pictures_;
};

}  // namespace zimlo::capture
