#pragma once

#include <string>

#include "platform/runtime/Result.h"
#include "platform/screen/CaptureError.h"
#include "platform/x11/X11Types.h"

namespace zimlo::x11 {

// Lists the displays (RandR monitors) and windows of the X server. Windows come from the window
// manager's client list (every desktop) when one runs, else from the root's mapped children;
// override-redirect top-levels (menus, tooltips, our border) are listed too, not normal-layer.
// Fails with displayUnreachable (logged) when the server cannot be reached.
Result<CaptureTargetList, screen::CaptureError> listCaptureTargets(
    const char* displayName = nullptr);
// Only the displays (cheap: no window is read).
Result<std::vector<DisplayInfo>, screen::CaptureError> queryDisplays(
    const char* displayName = nullptr);

}  // namespace zimlo::x11
