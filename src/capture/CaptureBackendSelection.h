#pragma once

#include "platform/screen/CaptureBackend.h"

namespace zimlo::capture {

// The capture back end of this process: chosen on first use from the session (see
// screen::chooseCaptureBackend; the portal is asked over D-Bus) and kept, so the picker and the
// recording always agree. Blocks for up to a few seconds the first time (a portal that is
// started on demand); call it off the main thread where that matters.
screen::BackendChoice currentCaptureBackend();

}  // namespace zimlo::capture
