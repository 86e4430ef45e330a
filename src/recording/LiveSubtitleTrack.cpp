#include "recording/LiveSubtitleTrack.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <algorithm>
#include <limits>
#include <utility>

#include "platform/log/Log.h"
#include "platform/runtime/WeakOwner.h"
#include "platform/text/UnicodeText.h"
#include "platform/text/WordTagger.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/PermissionAlert.h"
#include "recording/Permissions.h"
#include "recording/SpeechModelSetup.h"
#include "subtitles/SubtitleEmphasisDetector.h"
#include "subtitles/SubtitleSegmenter.h"

namespace zimlo::recording {
namespace {

constexpr const char* kRequestingMicrophone =
    QT_TRANSLATE_NOOP("LiveSubtitleTrack", "正在请求麦克风权限…");
constexpr const char* kRequestingSpeech =
    QT_TRANSLATE_NOOP("LiveSubtitleTrack", "正在请求语音识别权限…");
constexpr const char* kEnabled = QT_TRANSLATE_NOOP("LiveSubtitleTrack", "字幕已开启");
constexpr const char* kMicrophoneRefused =
    QT_TRANSLATE_NOOP("LiveSubtitleTrack", "需要麦克风权限才能生成字幕");
constexpr const char* kSpeechRefused =
    QT_TRANSLATE_NOOP("LiveSubtitleTrack", "需要语音识别权限才能生成字幕");

// One of the texts above in the interface's language.
QString shown(const char* text) { return QCoreApplication::translate("LiveSubtitleTrack", text); }

// `text` without `prefix` when it begins with it on a character boundary, else none. A byte
// prefix that ends inside a character (a base letter followed by a combining mark in `text`)
// is not the same text, so nothing is dropped then.
std::optional<std::string> withoutPrefix(const std::string& text, const std::string& prefix) {
    if (prefix.empty() || text.size() < prefix.size() ||
        text.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    size_t boundary = 0;
    for (const std::string& character : text::characters(text)) {
        if (boundary >= prefix.size()) break;
        boundary += character.size();
    }
    if (boundary != prefix.size()) return std::nullopt;
    return text.substr(prefix.size());
}

QString toQString(const std::u16string& text) {
    return QString(reinterpret_cast<const QChar*>(text.data()),
                   static_cast<qsizetype>(text.size()));
}

}  // namespace

std::shared_ptr<LiveSubtitleTrack> LiveSubtitleTrack::create(
    Host& host, std::shared_ptr<LiveSpeechRecognizer> speech, DraggableSubtitleView* region,
    QAbstractButton* toggle) {
    return std::make_shared<LiveSubtitleTrack>(Private{}, host, std::move(speech), region, toggle);
}

LiveSubtitleTrack::LiveSubtitleTrack(Private, Host& host,
                                     std::shared_ptr<LiveSpeechRecognizer> speech,
                                     DraggableSubtitleView* region, QAbstractButton* toggle)
    : host_(host), speech_(std::move(speech)), region_(region), toggle_(toggle) {}

LiveSubtitleTrack::~LiveSubtitleTrack() {
    if (subtitleClearWorkItem_ && *subtitleClearWorkItem_) (*subtitleClearWorkItem_)->cancel();
    for (auto& waiter : settleWaiters_)
        if (waiter.limit && *waiter.limit) (*waiter.limit)->cancel();
    // Recognition was started for this track; nobody would hear it any more.
    if ((isSpeechRunning_ || isFinishing()) && speech_) speech_->stop();
}

void LiveSubtitleTrack::toggleChanged() {
    if (toggle_ && toggle_->isChecked()) {
        enableSubtitles();
    } else {
        disableSubtitles();
    }
}

void LiveSubtitleTrack::setToggleEnabled(bool enabled) {
    if (toggle_) toggle_->setEnabled(enabled);
}

void LiveSubtitleTrack::refuse(const QString& status) {
    setToggleEnabled(true);
    if (toggle_) toggle_->setChecked(false);
    disableSubtitles();
    host_.subtitleFailed(status);
}

void LiveSubtitleTrack::enableSubtitles() {
    const uint64_t serial = ++enableSerial_;
    isRequesting_ = true;
    setToggleEnabled(false);
    host_.subtitleStatusChanged(shown(kRequestingMicrophone));
    // The request reads the device state off the main thread and grants exactly what an
    // "authorised" or "not determined" status would: the same answer without blocking here.
    Permissions::requestMicrophoneAccess(
        weakly(weak_from_this(), [serial](LiveSubtitleTrack& self, bool granted) {
            if (serial != self.enableSerial_) return;
            if (!granted) {
                self.isRequesting_ = false;
                self.refuse(shown(kMicrophoneRefused));
                PermissionAlert::show(PermissionKind::microphone, self.host_.alertWindow());
                return;
            }
            self.host_.subtitleStatusChanged(shown(kRequestingSpeech));
            Permissions::requestSpeechAuthorization(
                weakly(self.weak_from_this(), [serial](LiveSubtitleTrack& self, bool authorized) {
                    if (serial != self.enableSerial_) return;
                    if (!authorized) {
                        self.isRequesting_ = false;
                        self.refuse(shown(kSpeechRefused));
                        PermissionAlert::show(PermissionKind::speech, self.host_.alertWindow());
                        return;
                    }
                    self.host_.prepareMicrophone(
                        weakly(self.weak_from_this(),
                               [serial](LiveSubtitleTrack& self, std::optional<std::string> error) {
                                   if (serial != self.enableSerial_) return;
                                   self.isRequesting_ = false;
                                   if (error) {
                                       self.refuse(QCoreApplication::translate("LiveSubtitleTrack",
                                                                               "无法开启字幕：%1")
                                                       .arg(QString::fromStdString(*error)));
                                       return;
                                   }
                                   self.armed();
                               }));
                }));
        }));
}

void LiveSubtitleTrack::armed() {
    if (!isSpeechCallbacksConfigured_) installSpeechCallbacks();
    isSpeechRecognitionAvailable_ = true;
    isSubtitleEnabled_ = true;
    // Without a model nothing would be recognised: the region and the status line say what to
    // do instead of waiting for speech.
    isSpeechModelMissing_ = speech_ && !speech_->hasModel();
    // Key words of the first captions need the dictionaries; start loading them now.
    if (!isSpeechModelMissing_) text::WordTagger::shared().preload();
    if (region_) {
        region_->show();
        region_->applyLayout(host_.subtitleLayout());
        resetLiveCaption(true);  // wrapped to the region's width
    }
    startSpeechIfNeeded();
    setToggleEnabled(true);
    if (isSpeechModelMissing_) {
        ZIMLO_LOG_INFO("subtitles")
            << "subtitles switched on without a speech model for " << locale();
        host_.speechModelMissing(true);
        host_.subtitleFailed(speechModelMissingStatus(locale()));
        return;
    }
    host_.subtitleStatusChanged(shown(kEnabled));
}

std::string LiveSubtitleTrack::locale() const {
    return speech_ && speech_->recognizer() ? speech_->recognizer()->locale() : std::string();
}

void LiveSubtitleTrack::setSpeechModelMissing(bool missing) {
    if (isSpeechModelMissing_ == missing) return;
    isSpeechModelMissing_ = missing;
    host_.speechModelMissing(missing);
}

bool LiveSubtitleTrack::speechModelInstalled() {
    if (!speech_ || !speech_->reloadModel() || !speech_->hasModel()) return false;
    if (!isSpeechModelMissing_) return true;
    setSpeechModelMissing(false);
    text::WordTagger::shared().preload();
    if (isSubtitleEnabled_) {
        resetLiveCaption(true);
        startSpeechIfNeeded();
    }
    return true;
}

void LiveSubtitleTrack::disableSubtitles() {
    ++enableSerial_;  // a permission chain still under way ends here
    if (isRequesting_) {
        isRequesting_ = false;
        setToggleEnabled(true);
    }
    isSubtitleEnabled_ = false;
    subtitleSessionActive_ = false;
    setSpeechModelMissing(false);  // asked again at the next switch-on
    if (region_) region_->hide();
    cancelClearing();
    latestRecognitionText_.clear();
    consumedRecognitionText_.clear();
    if ((isSpeechRunning_ || isFinishing()) && speech_) speech_->stop();
    isSpeechRunning_ = false;
    recognitions_.clear();  // what it would still say is not collected
    settle();
}

void LiveSubtitleTrack::recordingBegan() {
    // Recognition left running from an earlier recording counts time on that one's timeline.
    if ((isSpeechRunning_ || isFinishing()) && speech_) speech_->stop();
    isSpeechRunning_ = false;
    recognitions_.clear();
    isRecordingRunning_ = true;
    subtitleTrack_.clear();
    subtitleSessionActive_ = false;
    resetLiveCaption(isSubtitleEnabled_);
    startSpeechIfNeeded();
    settle();
}

void LiveSubtitleTrack::startSpeechIfNeeded() {
    const std::optional<double> elapsed = host_.recordingElapsed();
    if (!isRecordingRunning_ || !elapsed || !isSubtitleEnabled_ || !isSpeechRecognitionAvailable_ ||
        isSpeechModelMissing_ || isSpeechRunning_ || !speech_ || host_.isRecordingPaused())
        return;
    const double offset = std::max(*elapsed, 0.0);
    subtitleSessionActive_ = true;
    ignoresLateFinals_ = false;
    speech_->start(offset);
    isSpeechRunning_ = true;
    // A finish still under way (a pause just ended) goes on before it.
    recognitions_.push_back(Recognition{offset, std::nullopt, offset});
}

void LiveSubtitleTrack::finishSpeech() {
    if (!isSpeechRunning_) return;
    isSpeechRunning_ = false;
    // Not running any more (its model failed, say): nothing is left to finish.
    const std::optional<double> until = speech_ ? speech_->finish() : std::nullopt;
    if (!recognitions_.empty() && !recognitions_.back().until) {
        if (until)
            recognitions_.back().until = std::max(*until, recognitions_.back().start);
        else
            recognitions_.pop_back();
    }
    settle();
}

void LiveSubtitleTrack::recordingStopped() {
    isRecordingRunning_ = false;
    finishSpeech();
}

void LiveSubtitleTrack::recordingPaused() { finishSpeech(); }

void LiveSubtitleTrack::recordingResumed() { startSpeechIfNeeded(); }

void LiveSubtitleTrack::endSession() { subtitleSessionActive_ = false; }

bool LiveSubtitleTrack::isFinishing() const {
    return std::any_of(recognitions_.begin(), recognitions_.end(),
                       [](const Recognition& r) { return r.until.has_value(); });
}

double LiveSubtitleTrack::settledTime() const {
    double settled = std::numeric_limits<double>::infinity();
    for (const Recognition& r : recognitions_) {
        // A recogniser whose model failed stopped by itself: nothing more comes from it.
        if (!r.until && !(speech_ && speech_->isRunning())) continue;
        settled = std::min(settled, r.settled);
    }
    return settled;
}

void LiveSubtitleTrack::handleSettled(double time) {
    // Each recognition reports times within its own stretch of the recording; a finish's own
    // end belongs to it rather than to the recognition that began there after a pause.
    auto r = std::find_if(recognitions_.begin(), recognitions_.end(),
                          [time](const Recognition& r) { return !r.until || time <= *r.until; });
    if (r == recognitions_.end()) return;
    r->settled = std::max(r->settled, time);
    if (r->until && time >= *r->until) recognitions_.erase(r);
    settle();
}

void LiveSubtitleTrack::whenSettled(double time, double limit, std::function<void()> done) {
    const uint64_t serial = ++settleSerial_;
    SettleWaiter waiter{serial, time, std::move(done), std::nullopt};
    waiter.limit = MainQueue::postAfter(
        limit, weakly(weak_from_this(),
                      [serial](LiveSubtitleTrack& self) { self.settleLimitReached(serial); }));
    settleWaiters_.push_back(std::move(waiter));
    // Answered on a later turn, also when the time has come already.
    MainQueue::post(weakly(weak_from_this(), [](LiveSubtitleTrack& self) { self.settle(); }));
}

void LiveSubtitleTrack::settle() {
    const double settled = settledTime();
    std::vector<std::function<void()>> ready;
    for (auto it = settleWaiters_.begin(); it != settleWaiters_.end();) {
        if (it->time > settled) {
            ++it;
            continue;
        }
        if (it->limit && *it->limit) (*it->limit)->cancel();
        ready.push_back(std::move(it->done));
        it = settleWaiters_.erase(it);
    }
    for (auto& done : ready)
        if (done) done();
}

void LiveSubtitleTrack::settleLimitReached(uint64_t serial) {
    auto it = std::find_if(settleWaiters_.begin(), settleWaiters_.end(),
                           [serial](const SettleWaiter& w) { return w.serial == serial; });
    if (it == settleWaiters_.end()) return;
    it->limit.reset();
    if (isFinishing() && !isSpeechRunning_) {
        // The recogniser is further behind than anyone waits: what it showed last is kept as
        // said, rather than nothing.
        ZIMLO_LOG_WARN("subtitles")
            << "recognition had not finished the speech before " << *recognitions_.back().until
            << " s when the wait ended; keeping its last partial result as final";
        recognitions_.clear();
        std::optional<LiveSpeechRecognizer::PendingPartial> partial;
        if (speech_) {
            partial = speech_->pendingPartial();
            speech_->stop();
        }
        ignoresLateFinals_ = true;
        if (partial && subtitleSessionActive_) {
            std::vector<SubtitleSegment> cut =
                SubtitleSegmenter::segments(partial->transcription.segments, partial->offset);
            subtitleTrack_.insert(subtitleTrack_.end(), std::make_move_iterator(cut.begin()),
                                  std::make_move_iterator(cut.end()));
        }
        settle();
        return;
    }
    // Recognition that still runs is not given up; this waiter just stops waiting.
    auto done = std::move(it->done);
    settleWaiters_.erase(it);
    if (done) done();
}

void LiveSubtitleTrack::resetLiveCaption(bool clearRegion) {
    cancelClearing();
    latestRecognitionText_.clear();
    consumedRecognitionText_.clear();
    if (!clearRegion || !region_) return;
    if (isSpeechModelMissing_)
        region_->showNotice(speechModelMissingNotice(locale()), speechModelMissingStatus(locale()));
    else
        region_->showPlaceholder();
}

void LiveSubtitleTrack::installSpeechCallbacks() {
    isSpeechCallbacksConfigured_ = true;
    if (!speech_) return;
    speech_->onText =
        weakly(weak_from_this(), [](LiveSubtitleTrack& self, const std::string& text,
                                    bool isFinal) { self.handleText(text, isFinal); });
    speech_->onFinalTranscription =
        weakly(weak_from_this(),
               [](LiveSubtitleTrack& self, const Transcription& transcription, double offset) {
                   self.handleFinalTranscription(transcription, offset);
               });
    speech_->onSettled = weakly(
        weak_from_this(), [](LiveSubtitleTrack& self, double time) { self.handleSettled(time); });
}

void LiveSubtitleTrack::handleText(const std::string& text, bool isFinal) {
    if (!isSubtitleEnabled_) return;
    // The recogniser's "unavailable" notice stays up, plain (it is not speech to emphasise):
    // clearing it would look like recognition waiting for speech.
    if (text == LiveSpeechRecognizer::kUnavailableText) {
        cancelClearing();
        if (region_ && !isSpeechModelMissing_) region_->showNotice(QString::fromUtf8(text));
        return;
    }
    latestRecognitionText_ = text;
    const std::string visible = withoutPrefix(text, consumedRecognitionText_).value_or(text);
    const std::string caption = SubtitleSegmenter::liveCaptionText(visible, kLiveCaptionLimit);
    if (caption.empty()) return;

    // Ranges are UTF-16 offsets: convert once and hand the same code units to the view.
    const std::u16string utf16 = text::toUtf16(caption);
    const std::vector<text::TextRange> emphasis =
        SubtitleEmphasisDetector::emphasisRanges(std::u16string_view(utf16));
    if (region_) region_->showCaption(toQString(utf16), emphasis);
    scheduleClearing(isFinal ? kClearDelayAfterFinal : kClearDelayAfterPartial);
}

void LiveSubtitleTrack::scheduleClearing(double delay) {
    cancelClearing();
    subtitleClearWorkItem_ = MainQueue::postAfter(delay, weakly(weak_from_this(), [](auto& self) {
                                                      self.subtitleClearWorkItem_.reset();
                                                      if (!self.isSubtitleEnabled_) return;
                                                      self.consumedRecognitionText_ =
                                                          self.latestRecognitionText_;
                                                      if (self.region_)
                                                          self.region_->showPlaceholder();
                                                  }));
}

void LiveSubtitleTrack::cancelClearing() {
    if (subtitleClearWorkItem_ && *subtitleClearWorkItem_) (*subtitleClearWorkItem_)->cancel();
    subtitleClearWorkItem_.reset();
}

void LiveSubtitleTrack::handleFinalTranscription(const Transcription& transcription,
                                                 double offset) {
    if (!subtitleSessionActive_ || ignoresLateFinals_) return;
    std::vector<SubtitleSegment> cut = SubtitleSegmenter::segments(transcription.segments, offset);
    if (!cut.empty()) host_.subtitleSegmentsAdded(cut);
    subtitleTrack_.insert(subtitleTrack_.end(), std::make_move_iterator(cut.begin()),
                          std::make_move_iterator(cut.end()));
}

}  // namespace zimlo::recording
