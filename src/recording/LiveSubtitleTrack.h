#pragma once

#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/RecordingProject.h"
#include "platform/runtime/MainQueue.h"
#include "subtitles/LiveSpeechRecognizer.h"

class QAbstractButton;
class QWidget;

namespace zimlo::recording {

class DraggableSubtitleView;

// The subtitles of the recording window: switching them on (microphone, then speech permission,
// then the microphone prepared), the live caption in the subtitle region while a recording runs,
// and the track of timed segments cut from every final transcription. Main thread only.
class LiveSubtitleTrack : public std::enable_shared_from_this<LiveSubtitleTrack> {
    struct Private {};

  public:
    // The recording window's side.
    class Host {
      public:
        virtual ~Host() = default;
        // Seconds since the recording began, on the movie's timeline (paused time left out);
        // none while not recording.
        virtual std::optional<double> recordingElapsed() const = 0;
        // Whether the running recording is paused: nothing is recognised then.
        virtual bool isRecordingPaused() const { return false; }
        virtual void subtitleStatusChanged(const QString& status) = 0;
        // Subtitles could not be switched on; says why.
        virtual void subtitleFailed(const QString& status) { subtitleStatusChanged(status); }
        // Prepares the capture source's microphone; the completion (main queue) carries the
        // error's description on failure.
        virtual void prepareMicrophone(
            std::function<void(std::optional<std::string> error)> completion) = 0;
        // Where the subtitle region goes when subtitles are switched on.
        virtual SubtitleLayout subtitleLayout() const = 0;
        // The window permission alerts attach to (may be null).
        virtual QWidget* alertWindow() const = 0;
        // Subtitles are on but their language has no speech model (true), or that ended: the
        // window offers to install one while it lasts.
        virtual void speechModelMissing(bool missing) { (void)missing; }
        // Segments that just joined the track.
        virtual void subtitleSegmentsAdded(const std::vector<SubtitleSegment>& segments) {
            (void)segments;
        }
    };

    static constexpr size_t kLiveCaptionLimit = 36;
    static constexpr double kClearDelayAfterFinal = 0.65;
    static constexpr double kClearDelayAfterPartial = 1.1;

    // `region` and `toggle` belong to the window and may be deleted before this object.
    static std::shared_ptr<LiveSubtitleTrack> create(Host& host,
                                                     std::shared_ptr<LiveSpeechRecognizer> speech,
                                                     DraggableSubtitleView* region,
                                                     QAbstractButton* toggle);
    LiveSubtitleTrack(Private, Host& host, std::shared_ptr<LiveSpeechRecognizer> speech,
                      DraggableSubtitleView* region, QAbstractButton* toggle);
    ~LiveSubtitleTrack();

    // The check box "开启字幕" changed: enables or disables by its state.
    void toggleChanged();
    void enableSubtitles();
    void disableSubtitles();

    // A speech model was installed: recognition takes it and subtitles work from now on (also
    // in the running recording). False when the language still has none.
    bool speechModelInstalled();
    bool isSpeechModelMissing() const { return isSpeechModelMissing_; }

    // A recording begins: empties the track, ends the previous collection, resets the caption
    // (clearing the region when subtitles are on) and starts recognition when armed.
    void recordingBegan();
    // Starts recognition at the current recording time when recording, enabled and permitted.
    void startSpeechIfNeeded();
    // The stop button: recognition ends, but what was said before the stop is still recognised
    // and joins the track (see whenSettled). Nothing starts recognition again until the next
    // recording begins.
    void recordingStopped();
    // A pause ends recognition as a stop does (what was said before it still joins the track);
    // the resume starts it again at the movie time the pause sits at.
    void recordingPaused();
    void recordingResumed();
    // The finish pipeline takes the files over: no more segments join the track.
    void endSession();

    // The recording time before which the track is complete: every final transcription of what
    // was said before it has joined. While recognition runs it follows the recogniser; once
    // recognition has ended and finished, nothing more can join (infinity).
    double settledTime() const;
    // Calls `done` on a later turn of the main queue once settledTime() reaches `time`, or when
    // `limit` seconds have passed. On the limit, recognition that was stopped and is still
    // finishing is given up: its last partial result joins the track as final text.
    void whenSettled(double time, double limit, std::function<void()> done);

    // Recogniser callbacks (installed once, on the first successful switch-on).
    void handleText(const std::string& text, bool isFinal);
    void handleFinalTranscription(const Transcription& transcription, double offset);
    void handleSettled(double time);

    const std::vector<SubtitleSegment>& subtitleTrack() const { return subtitleTrack_; }
    bool subtitleSessionActive() const { return subtitleSessionActive_; }
    bool isSubtitleEnabled() const { return isSubtitleEnabled_; }
    bool isSpeechRunning() const { return isSpeechRunning_; }
    const std::string& latestRecognitionText() const { return latestRecognitionText_; }
    const std::string& consumedRecognitionText() const { return consumedRecognitionText_; }
    const std::shared_ptr<LiveSpeechRecognizer>& speech() const { return speech_; }

  private:
    // Ends running recognition, letting it finish what was said so far.
    void finishSpeech();
    // Calls the waiters whose time has come.
    void settle();
    // The limit of the waiter `serial` has passed.
    void settleLimitReached(uint64_t serial);
    void resetLiveCaption(bool clearRegion);
    void scheduleClearing(double delay);
    void cancelClearing();
    void installSpeechCallbacks();
    // Permissions and microphone are ready: subtitles are on.
    void armed();
    // A refused permission or a failed microphone: toggle back on its feet and off, status.
    void refuse(const QString& status);
    void setToggleEnabled(bool enabled);
    void setSpeechModelMissing(bool missing);
    std::string locale() const;

    Host& host_;
    std::shared_ptr<LiveSpeechRecognizer> speech_;
    QPointer<DraggableSubtitleView> region_;
    QPointer<QAbstractButton> toggle_;

    std::vector<SubtitleSegment> subtitleTrack_;
    bool subtitleSessionActive_ = false;
    // Between the beginning of a recording and its stop (pauses included).
    bool isRecordingRunning_ = false;
    // Recognition this track started and still hears from, oldest first: finishing ones (ended
    // by a stop or a pause, `until` set) and the running one. Each covers the recording from
    // its start, and is settled up to where the recogniser's reports have got.
    struct Recognition {
        double start = 0;
        std::optional<double> until;
        double settled = 0;
    };
    std::vector<Recognition> recognitions_;
    bool isFinishing() const;
    // A given-up recognition may still deliver its final result: it must not join twice.
    bool ignoresLateFinals_ = false;
    struct SettleWaiter {
        uint64_t serial;
        double time;
        std::function<void()> done;
        std::optional<DelayedWorkHandle> limit;
    };
    std::vector<SettleWaiter> settleWaiters_;
    uint64_t settleSerial_ = 0;
    bool isSubtitleEnabled_ = false;
    bool isSpeechRecognitionAvailable_ = false;
    bool isSpeechModelMissing_ = false;
    bool isSpeechRunning_ = false;
    bool isSpeechCallbacksConfigured_ = false;
    std::string latestRecognitionText_;
    std::string consumedRecognitionText_;
    std::optional<DelayedWorkHandle> subtitleClearWorkItem_;
    // Counts switch-ons and switch-offs: answers of a permission chain that was overtaken are
    // dropped.
    uint64_t enableSerial_ = 0;
    bool isRequesting_ = false;
};

}  // namespace zimlo::recording
