#pragma once

#include <memory>

#include "app/RecordingWindowHandle.h"

namespace zimlo::app {

// A plain window naming the target; closing it reports "cancelled". For shell tests that need no
// capture devices.
std::shared_ptr<RecordingWindowHandle> makePlaceholderRecordingWindow(
    const capture::ScreenCaptureTarget& target);

}  // namespace zimlo::app
