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
#include "model/RecordingProject.h"

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

    static ShellServices system();
};

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

  private:
    explicit HomeWindowController(ShellServices services);

    ShellServices services_;
    std::unique_ptr<MainWindow> window_;
    QPointer<HomeView> homeViewController_;
    std::shared_ptr<RecordingWindowHandle> recordingWindowController_;
};

}  // namespace zimlo::app
