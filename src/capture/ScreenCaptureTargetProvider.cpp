#include "capture/ScreenCaptureTargetProvider.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>

#include "capture/CaptureBackendSelection.h"
#include "capture/PlatformErrorText.h"
#include "capture/PortalSessions.h"
#include "platform/i18n/Translation.h"
#include "platform/log/Log.h"
#include "platform/portal/PipeWireScreenStream.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/SerialQueue.h"
#include "platform/x11/CaptureTargetList.h"
#include "platform/x11/NameOrder.h"
#include "platform/x11/ScreenStream.h"

namespace zimlo::capture {
namespace {

// Queries and grabs run off the main thread, one at a time.
SerialQueue& providerQueue() {
    static SerialQueue queue(".capture-targets");
    return queue;
}

// Index of the display whose frame overlaps `frame` most; the first on ties or no overlap.
size_t displayIndex(const std::vector<x11::DisplayInfo>& displays, const PixelRect& frame) {
    size_t best = 0;
    long long bestArea = -1;
    for (size_t i = 0; i < displays.size(); ++i) {
        long long area = displays[i].frame.intersected(frame).area();
        if (area > bestArea) {
            best = i;
            bestArea = area;
        }
    }
    return best;
}

constexpr PixelSize kUnknownPortalSize{1920, 1080};

std::string sizeText(const PixelSize& size) {
    return std::to_string(size.width) + " × " + std::to_string(size.height);
}

// One picture of a portal source whose last choice the kept token restores (no chooser). A
// token the portal no longer honours would bring the chooser up: it is given a while, then the
// attempt is cancelled.
std::optional<TargetImage> portalThumbnail(PortalSource::Type type) {
    if (!PortalSourceMemory().restoreToken(type)) return std::nullopt;
    screen::CaptureStreamConfiguration configuration;
    configuration.showsCursor = false;
    configuration.sizeForSource = [](PixelSize source) {
        auto [width, height] =
            ScreenCaptureTargetProvider::thumbnailSize(source.width, source.height);
        return PixelSize{width, height};
    };
    portal::PipeWireScreenStream stream(
        [type](const std::shared_ptr<portal::OpenCancellation>& cancellation) {
            return openPortalSession(type, cancellation);
        },
        configuration);
    std::mutex mutex;  // guards: picture, started, failed
    std::condition_variable changed;
    std::shared_ptr<const media::PixelBuffer> picture;
    bool started = false, failed = false;
    stream.setFrameHandler(
        [&](const media::VideoSample& sample) {
            std::lock_guard lock(mutex);
            if (!picture) picture = sample.pixels;
            changed.notify_all();
        },
        nullptr);
    stream.startCapture([&](const std::optional<screen::CaptureError>& error) {
        std::lock_guard lock(mutex);
        started = true;
        failed = error.has_value();
        changed.notify_all();
    });
    {
        // Some compositors send a first picture only once the screen changes: a still screen
        // gets no thumbnail rather than holding up the listing.
        std::unique_lock lock(mutex);
        if (changed.wait_for(lock, std::chrono::seconds(10), [&] { return started; }) && !failed)
            changed.wait_for(lock, std::chrono::seconds(2), [&] { return picture != nullptr; });
    }
    stream.stopCapture();
    std::lock_guard lock(mutex);
    if (!picture) return std::nullopt;
    return TargetImage::image(picture);
}

}  // namespace

std::vector<ScreenCaptureTarget> ScreenCaptureTargetProvider::buildPortalTargets(
    const portal::ScreenCastInfo& info, const PortalSourceMemory& memory) {
    std::vector<ScreenCaptureTarget> targets;
    auto add = [&](PortalSource::Type type, const char* id, const char* title, const char* icon) {
        PortalSource source;
        source.type = type;
        source.lastKnownSize = memory.lastSize(type);
        source.restoresLastChoice = memory.restoreToken(type).has_value();
        ScreenCaptureTarget target;
        target.id = id;
        target.title = translate("ScreenCaptureTargetProvider", title);
        if (!source.restoresLastChoice)
            target.subtitle = translate("ScreenCaptureTargetProvider", "确认后在系统窗口中选择");
        else if (source.lastKnownSize)
            target.subtitle =
                withArguments(translate("ScreenCaptureTargetProvider", "上次选择 · %1"),
                              {sizeText(*source.lastKnownSize)});
        else
            target.subtitle = translate("ScreenCaptureTargetProvider", "上次选择");
        target.icon = TargetImage::symbol(icon);
        target.kind.payload = source;
        targets.push_back(std::move(target));
    };
    if (info.offers(portal::SourceType::monitor))
        add(PortalSource::Type::monitor, "portal-monitor",
            QT_TRANSLATE_NOOP("ScreenCaptureTargetProvider", "整个屏幕"), "desktopcomputer");
    // Only where the portal can really capture one window: some back ends answer a window
    // request with a whole screen.
    if (info.offers(portal::SourceType::window))
        add(PortalSource::Type::window, "portal-window",
            QT_TRANSLATE_NOOP("ScreenCaptureTargetProvider", "应用窗口"), "app.dashed");
    return targets;
}

std::vector<x11::WindowInfo> ScreenCaptureTargetProvider::ownWindows(
    const x11::CaptureTargetList& content, pid_t ownPid) {
    std::vector<x11::WindowInfo> own;
    for (const auto& window : content.windows) {
        if (window.pid && *window.pid == ownPid) own.push_back(window);
    }
    return own;
}

std::vector<ScreenCaptureTarget> ScreenCaptureTargetProvider::buildTargets(
    const x11::CaptureTargetList& content, pid_t ownPid) {
    std::vector<x11::WindowInfo> own = ownWindows(content, ownPid);
    std::vector<ScreenCaptureTarget> targets;
    for (size_t i = 0; i < content.displays.size(); ++i) {
        const auto& display = content.displays[i];
        ScreenCaptureTarget target;
        target.id = "display-" + std::to_string(display.id);
        target.title = withArguments(translate("ScreenCaptureTargetProvider", "桌面 %1"),
                                     {std::to_string(i + 1)});
        target.subtitle =
            std::to_string(display.frame.width) + " × " + std::to_string(display.frame.height);
        target.icon = TargetImage::symbol("desktopcomputer");
        target.kind.payload = display;
        target.excludedWindows = own;
        targets.push_back(std::move(target));
    }

    struct Candidate {
        const x11::WindowInfo* window;
        size_t display;
    };
    std::vector<Candidate> candidates;
    for (const auto& window : content.windows) {
        if (!window.isOnScreen) continue;
        // A window whose process cannot be known (a remote client) is another program's: ours
        // always carry our process identifier.
        if (window.pid && *window.pid == ownPid) continue;
        if (window.applicationName.empty()) continue;
        if (!window.isNormalLayer) continue;
        if (window.frame.width < 80 || window.frame.height < 60) continue;
        candidates.push_back(
            {&window, content.displays.empty() ? 0 : displayIndex(content.displays, window.frame)});
    }
    // Names that collate equal (differing only in case) fall through to the next key, so the
    // order stays strict.
    std::stable_sort(
        candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            if (a.display != b.display) return a.display < b.display;
            if (a.window->frame.y != b.window->frame.y)
                return a.window->frame.y < b.window->frame.y;
            if (a.window->frame.x != b.window->frame.x)
                return a.window->frame.x < b.window->frame.x;
            if (a.window->applicationName != b.window->applicationName) {
                int order = x11::compareNames(a.window->applicationName, b.window->applicationName);
                if (order != 0) return order < 0;
            }
            if (a.window->title != b.window->title) {
                int order = x11::compareNames(a.window->title, b.window->title);
                if (order != 0) return order < 0;
            }
            return false;
        });
    for (const auto& candidate : candidates) {
        const auto& window = *candidate.window;
        ScreenCaptureTarget target;
        target.id = "window-" + std::to_string(window.id);
        target.title = window.title.empty() ? window.applicationName : window.title;
        target.subtitle = window.applicationName;
        target.icon =
            window.icon ? TargetImage::image(window.icon) : TargetImage::symbol("app.dashed");
        target.kind.payload = window;
        targets.push_back(std::move(target));
    }
    return targets;
}

void ScreenCaptureTargetProvider::loadTargets(std::function<void(TargetsResult)> completion) const {
    providerQueue().async([completion = std::move(completion)] {
        TargetsResult result;
        try {
            auto choice = currentCaptureBackend();
            if (!choice.backend) {
                result = userText(choice);
            } else if (*choice.backend == screen::CaptureBackend::portal) {
                auto info = portal::probeScreenCast();
                if (info)
                    result = buildPortalTargets(*info, PortalSourceMemory());
                else
                    result = translate("ScreenCaptureTargetProvider",
                                       "桌面门户不再提供屏幕录制（ScreenCast）");
            } else if (auto content = x11::listCaptureTargets(); content) {
                result = buildTargets(*content, getpid());
            } else {
                result = userText(content.error());
            }
        } catch (const std::exception& error) {
            ZIMLO_LOG_WARN("capture") << "listing what can be recorded: " << error.what();
            result = std::string(error.what());
        }
        MainQueue::post([completion, result = std::move(result)] {
            if (completion) completion(result);
        });
    });
}

std::pair<int, int> ScreenCaptureTargetProvider::thumbnailSize(double w, double h) {
    w = std::max(1.0, w);
    h = std::max(1.0, h);
    double s = std::min(520.0 / w, 320.0 / h);
    if (s > 1) s = 1;
    int width = std::max(static_cast<int>(std::round(w * s)), 160);
    int height = std::max(static_cast<int>(std::round(h * s)), 100);
    return {width, height};
}

void ScreenCaptureTargetProvider::loadThumbnail(
    const ScreenCaptureTarget& target,
    std::function<void(std::optional<TargetImage>)> completion) const {
    if (target.kind.isPortal()) {
        providerQueue().async(
            [type = target.kind.portal().type, completion = std::move(completion)] {
                std::optional<TargetImage> image;
                try {
                    image = portalThumbnail(type);
                } catch (const std::exception& error) {
                    // No picture: the placeholder stays.
                    ZIMLO_LOG_WARN("capture") << "a picture of the screen cast: " << error.what();
                }
                MainQueue::post([completion, image = std::move(image)] {
                    if (completion) completion(image);
                });
            });
        return;
    }
    x11::ContentFilter filter = contentFilter(target);
    PixelSize native = nativePixelSize(target);
    providerQueue().async([filter, native, completion = std::move(completion)] {
        std::optional<TargetImage> image;
        auto [width, height] = thumbnailSize(native.width, native.height);
        auto captured = x11::captureImage(filter, width, height, false, true);
        if (captured)
            image = TargetImage::image(std::move(captured).value());
        else  // no picture for a target that cannot be grabbed now
            ZIMLO_LOG_INFO("capture") << "a picture of a target: " << captured.error().what();
        MainQueue::post([completion, image = std::move(image)] {
            if (completion) completion(image);
        });
    });
}

x11::ContentFilter ScreenCaptureTargetProvider::contentFilter(
    const ScreenCaptureTarget& target, const std::vector<x11::WindowInfo>& extraExcluded) {
    if (target.kind.isWindow()) return x11::ContentFilter::forWindow(target.kind.window().id);
    if (target.kind.isPortal()) return {};  // the portal's chooser decides what is captured
    std::vector<uint32_t> excluded;
    std::set<uint32_t> seen;
    for (const auto* list : {&target.excludedWindows, &extraExcluded}) {
        for (const auto& window : *list) {
            if (seen.insert(window.id).second) excluded.push_back(window.id);
        }
    }
    return x11::ContentFilter::forDisplay(target.kind.display(), std::move(excluded));
}

PixelSize ScreenCaptureTargetProvider::nativePixelSize(const ScreenCaptureTarget& target) {
    if (target.kind.isPortal()) {
        PixelSize size = target.kind.portal().lastKnownSize.value_or(kUnknownPortalSize);
        return {std::max(1, size.width), std::max(1, size.height)};
    }
    if (target.kind.isDisplay()) {
        const auto& display = target.kind.display();
        bool hasMode = display.nativeWidth > 0 && display.nativeHeight > 0;
        int w = hasMode ? display.nativeWidth : display.frame.width;
        int h = hasMode ? display.nativeHeight : display.frame.height;
        return {std::max(1, w), std::max(1, h)};
    }
    // X11 draws windows one pixel per point.
    const auto& frame = target.kind.window().frame;
    return {std::max(1, frame.width), std::max(1, frame.height)};
}

}  // namespace zimlo::capture
