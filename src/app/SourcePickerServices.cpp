#include "app/SourcePickerServices.h"

#include "capture/ScreenCaptureTargetHighlighter.h"

namespace zimlo::app {
namespace {

class SystemPickerServices : public SourcePickerServices {
  public:
    void loadTargets(std::function<void(TargetsResult)> completion) override {
        provider_.loadTargets(std::move(completion));
    }
    void loadThumbnail(
        const capture::ScreenCaptureTarget& target,
        std::function<void(std::optional<capture::TargetImage>)> completion) override {
        provider_.loadThumbnail(target, std::move(completion));
    }
    bool highlight(const capture::ScreenCaptureTarget& target) override {
        return capture::ScreenCaptureTargetHighlighter::shared()->highlight(target);
    }
    void hideHighlight() override { capture::ScreenCaptureTargetHighlighter::shared()->hide(); }

  private:
    capture::ScreenCaptureTargetProvider provider_;
};

}  // namespace

std::shared_ptr<SourcePickerServices> makeSystemPickerServices() {
    return std::make_shared<SystemPickerServices>();
}

}  // namespace zimlo::app
