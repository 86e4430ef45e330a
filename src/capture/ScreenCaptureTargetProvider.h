#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/PortalSourceMemory.h"
#include "capture/ScreenCaptureTarget.h"
#include "platform/portal/ScreenCastPortal.h"
#include "platform/x11/X11Types.h"

namespace zimlo::capture {

// Lists what can be recorded. Stateless: every call asks the system afresh. With the X11 back end
// that is every display and window; with the desktop portal (Wayland), one target per kind of
// source the portal offers, whose actual screen or window the portal's own chooser picks.
class ScreenCaptureTargetProvider {
  public:
    // Either the targets or the error text of a failed query.
    using TargetsResult = std::variant<std::vector<ScreenCaptureTarget>, std::string>;

    // Queries in the background; the completion runs on the main queue.
    void loadTargets(std::function<void(TargetsResult)> completion) const;
    // Grabs one small image of the target in the background; completion on the main queue,
    // with nothing when the grab failed.
    void loadThumbnail(const ScreenCaptureTarget& target,
                       std::function<void(std::optional<TargetImage>)> completion) const;

    // X11 targets only. Window: that window alone. Display: the target's excluded windows
    // followed by `extraExcluded`, duplicates removed (first occurrence kept).
    static x11::ContentFilter contentFilter(const ScreenCaptureTarget& target,
                                            const std::vector<x11::WindowInfo>& extraExcluded = {});
    // Display: its largest mode (its current size when it has none). Window: its frame. Portal
    // source: the size its last stream had, 1920 × 1080 before the first. Each dimension at
    // least 1.
    static PixelSize nativePixelSize(const ScreenCaptureTarget& target);

    // The listing rules applied to a content snapshot (what loadTargets does after the query).
    static std::vector<ScreenCaptureTarget> buildTargets(const x11::CaptureTargetList& content,
                                                         pid_t ownPid);
    // The portal's offer as targets: "portal-monitor" and, where the portal can capture single
    // windows, "portal-window", with what `memory` kept from earlier recordings.
    static std::vector<ScreenCaptureTarget> buildPortalTargets(const portal::ScreenCastInfo& info,
                                                               const PortalSourceMemory& memory);
    // Windows of the snapshot that belong to process `ownPid`.
    static std::vector<x11::WindowInfo> ownWindows(const x11::CaptureTargetList& content,
                                                   pid_t ownPid);
    // Size of a thumbnail for a native size: fits 520 × 320 without enlarging, at least 160 × 100.
    static std::pair<int, int> thumbnailSize(double nativeWidth, double nativeHeight);
};

}  // namespace zimlo::capture
