#include "driver/ShellDriver.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/HomeView.h"
#include "app/HomeWindowController.h"
#include "app/SourceCardView.h"
#include "app/SourcePickerView.h"
#include "platform/media/MonotonicClock.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/LiveSubtitleTrack.h"
#include "recording/RecordingView.h"

namespace zimlo::driver {

using namespace std::chrono_literals;
using recording::RecordingView;

namespace {

// Calls back when a window is closed or hidden, while its widgets still show their last state.
class ClosingWatcher : public QObject {
  public:
    explicit ClosingWatcher(std::function<void()> onClosing) : onClosing_(std::move(onClosing)) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Close || event->type() == QEvent::Hide) onClosing_();
        return false;
    }

  private:
    std::function<void()> onClosing_;
};

std::string text(const QLabel* label) { return label ? label->text().toStdString() : ""; }

// The recording window's view, through the window the shell keeps open.
RecordingView* openRecordingView(const app::HomeWindowController& shell) {
    const auto& handle = shell.recordingWindowController();
    if (!handle || !handle->window()) return nullptr;
    if (auto* view = qobject_cast<RecordingView*>(handle->window())) return view;
    return handle->window()->findChild<RecordingView*>();
}

}  // namespace

ShellDriver::ShellDriver(std::shared_ptr<app::HomeWindowController> shell, Observer observer)
    : shell_(std::move(shell)),
      observer_(std::move(observer)),
      closingWatcher_(std::make_unique<ClosingWatcher>([this] { watchStatusLines(); })) {}

ShellDriver::~ShellDriver() = default;

RecordingView* ShellDriver::recordingView() const { return view_; }

bool ShellDriver::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout.count());
    // The loop sleeps until an event comes, as the application's own does, so the driver takes
    // no processor time from what it drives; the tick also wakes it for conditions that change
    // without an event (files on disk, other threads).
    QTimer tick;
    tick.start(10);
    for (;;) {
        watchStatusLines();
        if (done()) return true;
        if (observer_.interrupted && observer_.interrupted()) throw Interrupted();
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void ShellDriver::pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

void ShellDriver::beginStep(const std::string& step) {
    step_ = step;
    stepStatuses_.clear();
    if (observer_.onStep) observer_.onStep(step);
}

void ShellDriver::await(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                        const std::string& awaited) {
    if (pumpUntil(done, timeout)) return;
    std::string detail = awaited + " within " + std::to_string(timeout.count() / 1000) + " s";
    throw StepFailed(step_, detail + statusSummary());
}

void ShellDriver::watchStatusLines() {
    auto report = [this](std::string& last, const std::string& now) {
        if (now == last) return;
        last = now;
        if (now.empty()) return;
        stepStatuses_.push_back(now);
        if (observer_.onStatus) observer_.onStatus(now);
    };
    if (auto* picker = shell_->sourcePicker())
        report(lastPickerStatus_, text(picker->statusLabel()));
    if (view_) {
        // Read here too, as the window closes: the draft's report goes with it.
        if (const auto& composed = view_->finishPipeline().lastComposition())
            composition_ = composed;
        report(lastRecordingStatus_, text(view_->statusLabel()));
        const bool overlay = view_->processingOverlay()->isVisible();
        report(lastOverlay_, overlay ? text(view_->processingTitleLabel()) + " " +
                                           text(view_->processingDetailLabel())
                                     : std::string());
    }
}

std::string ShellDriver::statusSummary() const {
    // The last few texts: a failure's own message is often replaced soon by a routine one.
    if (stepStatuses_.empty()) return {};
    std::string summary = " (status line: ";
    const size_t first = stepStatuses_.size() > 3 ? stepStatuses_.size() - 3 : 0;
    for (size_t i = first; i < stepStatuses_.size(); ++i)
        summary += (i > first ? " → \"" : "\"") + stepStatuses_[i] + "\"";
    return summary + ")";
}

size_t ShellDriver::waitForHome() {
    beginStep("open the home window");
    await([&] { return shell_->homeView() && shell_->window()->isVisible(); }, 20s,
          "the main window did not show the home gallery");
    return shell_->homeView()->drafts().size();
}

void ShellDriver::openPicker() {
    beginStep("click \"去录制\" and wait for the picker's list");
    if (!shell_->homeView()) throw StepFailed(step_, "the home gallery is not shown");
    shell_->homeView()->screenRecordButton()->click();
    await([&] { return shell_->sourcePicker() != nullptr; }, 20s, "the picker did not open");
    auto* picker = shell_->sourcePicker();
    // "刷新" is disabled while a listing runs.
    await([&] { return !picker->cardViews().empty() || picker->refreshButton()->isEnabled(); }, 60s,
          "the picker's listing did not finish");
    if (picker->cardViews().empty())
        throw StepFailed(step_, "the picker listed nothing to record" + statusSummary());
}

void ShellDriver::pickDisplay() {
    beginStep("pick the display and click \"确认\"");
    auto* picker = shell_->sourcePicker();
    if (!picker) throw StepFailed(step_, "the picker is not shown");
    app::SourceCardView* display = nullptr;
    for (auto* card : picker->cardViews())
        if (!display && card->captureTarget().kind.isDisplay()) display = card;
    if (!display) throw StepFailed(step_, "the picker lists no display");
    QTest::mouseClick(display, Qt::LeftButton);
    await(
        [&] {
            return picker->startButton()->isEnabled() && picker->selectedTarget() &&
                   picker->selectedTarget()->id == display->captureTarget().id;
        },
        20s, "the display was not selected");
    picker->startButton()->click();
}

RecordingView* ShellDriver::waitForRecordingWindow() {
    beginStep("wait for the recording window to get ready");
    await([&] { return (view_ = openRecordingView(*shell_)) != nullptr; }, 20s,
          "no recording window opened");
    // The window closes in the same turn as it shows its last status ("录制完成，已保存草稿").
    view_->window()->installEventFilter(closingWatcher_.get());
    await([&] { return view_ && view_->recordButton()->isEnabled(); }, 60s,
          "the recording window did not become ready to record");
    return view_;
}

void ShellDriver::turnCameraOn() {
    beginStep("turn on \"开启摄像头小窗\" (the camera window)");
    if (!view_) throw StepFailed(step_, "the recording window is gone");
    view_->cameraToggle()->click();
    // The switch is disabled while the camera starts; it turns itself off when that fails.
    await([&] { return view_ && view_->cameraToggle()->isEnabled(); }, 60s,
          "the camera did not answer");
    if (!view_->cameraToggle()->isChecked() || !view_->pipView())
        throw StepFailed(step_, "the camera window did not appear" + statusSummary());
}

void ShellDriver::turnSubtitlesOn() {
    beginStep("turn on \"开启字幕\" (live subtitles)");
    if (!view_) throw StepFailed(step_, "the recording window is gone");
    view_->subtitleToggle()->click();
    await([&] { return view_ && view_->subtitleToggle()->isEnabled(); }, 60s,
          "the subtitle switch stayed busy");
    if (!view_->subtitleToggle()->isChecked() || !view_->subtitleRegion()->isVisible())
        throw StepFailed(step_, "subtitles did not turn on" + statusSummary());
}

double ShellDriver::startRecording() {
    beginStep("click \"开始录制\"");
    if (!view_) throw StepFailed(step_, "the recording window is gone");
    view_->recordButton()->click();
    await([&] { return view_ && view_->recordStartTime().has_value(); }, 30s,
          "the recording did not start");
    return *view_->recordStartTime();
}

void ShellDriver::waitForSubtitle(std::chrono::milliseconds timeout) {
    beginStep("wait for a recognised sentence");
    if (pumpUntil([&] { return view_ && !view_->subtitles().subtitleTrack().empty(); }, timeout))
        return;
    throw StepFailed(step_, "nothing recognised within " + std::to_string(timeout.count() / 1000) +
                                " s; the live caption shows \"" +
                                (view_ ? view_->subtitles().latestRecognitionText() : "") + "\"");
}

FinishedRecording ShellDriver::stopAndWaitForDraft(std::chrono::milliseconds timeout) {
    beginStep("click \"停止录制\" and wait for the draft in the home gallery");
    if (!view_) throw StepFailed(step_, "the recording window is gone");
    const size_t draftsBefore = shell_->homeView() ? shell_->homeView()->drafts().size() : 0;
    FinishedRecording finished;
    composition_.reset();
    const double stopPressed = media::MonotonicClock::nowSeconds();
    view_->recordButton()->click();
    // The window goes away with the saved draft; its subtitle track is read until then (a last
    // sentence may still join it after the stop). A window that is ready again while the shell
    // still keeps it open ended its recording without a draft.
    bool endedWithoutDraft = false;
    await(
        [&] {
            if (view_) {
                finished.subtitles = view_->subtitles().subtitleTrack();
                if (!view_->subtitles().latestRecognitionText().empty())
                    finished.lastHeard = view_->subtitles().latestRecognitionText();
            }
            if (shell_->homeView() && shell_->homeView()->drafts().size() > draftsBefore &&
                shell_->homeView()->cardViews().size() > draftsBefore)
                return true;
            endedWithoutDraft =
                view_ && !view_->isRecording() && shell_->recordingWindowController();
            return endedWithoutDraft;
        },
        timeout, "no new draft in the home gallery");
    if (endedWithoutDraft)
        throw StepFailed(step_, "the recording ended without a draft" + statusSummary());
    finished.finishSeconds = media::MonotonicClock::nowSeconds() - stopPressed;
    finished.composition = composition_;
    finished.draft = shell_->homeView()->drafts().front();
    return finished;
}

}  // namespace zimlo::driver
