#pragma once

#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/HomeView.h"
#include "app/RecordingWindowHandle.h"
#include "capture/ScreenCaptureTarget.h"
#include "compose/RecordingRecovery.h"
#include "model/RecordingProject.h"
#include "platform/runtime/SerialQueue.h"

class QVBoxLayout;

namespace zimlo::app {

class DraftLibrary;
class DraftThumbnailGenerator;
class SourcePickerServices;
class SourcePickerView;

// Everything the shell reaches outside itself; the application passes the real ones, tests fakes.
struct ShellServices {
    std::shared_ptr<DraftLibrary> drafts;
    std::shared_ptr<DraftThumbnailGenerator> thumbnails;
    std::function<std::shared_ptr<SourcePickerServices>()> pickerServices;
    RecordingWindowFactory recordingWindows;
    std::function<void(const std::filesystem::path&)> reveal;
    // Plays a movie in the desktop's default player; the second argument hears, later, why
    // nothing could. Empty: movies are not opened.
    std::function<void(const std::filesystem::path&, std::function<void(const QString&)>)> open;
    // Announces a draft saved while the recording window was not in front; the function given
    // along opens it. Empty: nothing is announced.
    std::function<void(const RecordingProject&, std::function<void()> open)> announceSaved;
    // Saves what killed or crashed recordings left as drafts; run once at start, off the main
    // thread. None: nothing is looked for.
    std::function<compose::RecoveryReport()> recoverRecordings;

    static ShellServices system();
};

// The home window's line about recordings recovered at start; empty when there is nothing to say.
QString recoveryNotice(const compose::RecoveryReport& report);

// The main window (1120 × 760, at least 900 × 620): shows the home gallery or the source picker
// as its content. Dragging its background moves it.
class MainWindow : public QWidget {
    Q_OBJECT
  public:
    MainWindow();
    void setContent(QWidget* content);
    QWidget* content() const { return content_; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    QVBoxLayout* layout_;
    QPointer<QWidget> content_;
    std::optional<QPoint> dragOffset_;
};

// Owns the main window and the open recording window; moves between home, picker and recording.
class HomeWindowController : public std::enable_shared_from_this<HomeWindowController> {
  public:
    static std::shared_ptr<HomeWindowController> create(ShellServices services);
    ~HomeWindowController();

    MainWindow* window() const { return window_.get(); }
    HomeView* homeView() const { return homeViewController_; }
    SourcePickerView* sourcePicker() const;
    const std::shared_ptr<RecordingWindowHandle>& recordingWindowController() const {
        return recordingWindowController_;
    }

    void showHome();
    void showSourcePicker();
    void startRecording(const capture::ScreenCaptureTarget& target);
    void returnHome();
    void revealDraft(const RecordingProject& project);
    // Plays the draft's movie; when nothing can, the home view says so.
    void openDraft(const RecordingProject& project);

  private:
    explicit HomeWindowController(ShellServices services);
    void startRecovery();
    void recordingFinished(const RecordingProject& project, bool windowInFront);
    void recoveryFinished(const compose::RecoveryReport& report);

    ShellServices services_;
    // Runs the recovery; waits for it when the shell goes (a draft is never left half-saved).
    std::unique_ptr<SerialQueue> recoveryQueue_;
    QString pendingNotice_;  // for the next home view, when none was showing
    std::unique_ptr<MainWindow> window_;
    QPointer<HomeView> homeViewController_;
    std::shared_ptr<RecordingWindowHandle> recordingWindowController_;
};

}  // namespace zimlo::app
