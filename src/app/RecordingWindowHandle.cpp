#include "app/RecordingWindowHandle.h"

#include "recording/RecordingWindow.h"

namespace zimlo::app {
namespace {

// The recording window proper, seen through the shell's interface.
class RealRecordingWindow : public RecordingWindowHandle {
  public:
    explicit RealRecordingWindow(const capture::ScreenCaptureTarget& target)
        : controller_(target) {}

    QWidget* window() override { return controller_.window(); }
    void setOnFinish(std::function<void(const RecordingProject&)> onFinish) override {
        controller_.setOnFinish(std::move(onFinish));
    }
    void setOnCancel(std::function<void()> onCancel) override {
        controller_.setOnCancel(std::move(onCancel));
    }

  private:
    recording::RecordingWindow controller_;
};

}  // namespace

std::shared_ptr<RecordingWindowHandle> makeRecordingWindow(
    const capture::ScreenCaptureTarget& target) {
    return std::make_shared<RealRecordingWindow>(target);
}

RecordingWindowFactory defaultRecordingWindowFactory() { return makeRecordingWindow; }

}  // namespace zimlo::app
