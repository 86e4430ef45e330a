#include "platform/x11/CaptureTargetList.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
// XRes.h needs Xlib's types first.
#include <X11/extensions/XRes.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

#include "platform/x11/X11Connection.h"

namespace zimlo::x11 {

namespace {

// Largest mode by area; then the longer side; first listed on a full tie.
std::pair<int, int> largestMode(XRRScreenResources* resources, XRROutputInfo* output) {
    int bestW = 0, bestH = 0;
    for (int i = 0; i < output->nmode; ++i) {
        for (int m = 0; m < resources->nmode; ++m) {
            const XRRModeInfo& mode = resources->modes[m];
            if (mode.id != output->modes[i]) continue;
            long long area = static_cast<long long>(mode.width) * mode.height;
            long long bestArea = static_cast<long long>(bestW) * bestH;
            int longSide = std::max<int>(mode.width, mode.height),
                bestLong = std::max(bestW, bestH);
            if (area > bestArea || (area == bestArea && longSide > bestLong)) {
                bestW = static_cast<int>(mode.width);
                bestH = static_cast<int>(mode.height);
            }
        }
    }
    return {bestW, bestH};
}

std::vector<DisplayInfo> listDisplays(Display* d, Window root) {
    std::vector<DisplayInfo> displays;
    int eventBase = 0, errorBase = 0;
    int screenW = DisplayWidth(d, DefaultScreen(d)), screenH = DisplayHeight(d, DefaultScreen(d));
    if (!XRRQueryExtension(d, &eventBase, &errorBase)) {
        displays.push_back(DisplayInfo{static_cast<uint32_t>(root), "screen",
                                       PixelRect{0, 0, screenW, screenH}, 0, 0});
        return displays;
    }
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, root);
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d, root, True, &count);
    for (int i = 0; monitors && i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        DisplayInfo info;
        info.frame = PixelRect{m.x, m.y, m.width, m.height};
        char* name = XGetAtomName(d, m.name);
        if (name) {
            info.name = name;
            XFree(name);
        }
        info.id =
            m.noutput > 0 ? static_cast<uint32_t>(m.outputs[0]) : static_cast<uint32_t>(m.name);
        if (resources && m.noutput > 0) {
            if (XRROutputInfo* output = XRRGetOutputInfo(d, resources, m.outputs[0])) {
                auto [w, h] = largestMode(resources, output);
                info.nativeWidth = w;
                info.nativeHeight = h;
                XRRFreeOutputInfo(output);
            }
        }
        if (m.primary) {
            // The primary monitor leads the list: it is the main display.
            displays.insert(displays.begin(), std::move(info));
        } else {
            displays.push_back(std::move(info));
        }
    }
    if (monitors) XRRFreeMonitors(monitors);
    if (resources) XRRFreeScreenResources(resources);
    if (displays.empty()) {
        displays.push_back(DisplayInfo{static_cast<uint32_t>(root), "screen",
                                       PixelRect{0, 0, screenW, screenH}, 0, 0});
    }
    return displays;
}

// The _NET_WM_ICON entry nearest to 64 pixels (preferring larger), as BGRA.
std::shared_ptr<const media::PixelBuffer> readIcon(Display* d, Window w, Atom netWmIcon) {
    auto data = cardinalProperty(d, w, netWmIcon, XA_CARDINAL, 4 << 20);
    if (!data) return nullptr;
    const auto& v = *data;
    size_t bestAt = 0;
    long bestW = 0, bestH = 0;
    for (size_t i = 0; i + 2 <= v.size();) {
        long w = static_cast<long>(v[i]), h = static_cast<long>(v[i + 1]);
        if (w <= 0 || h <= 0 || w > 1024 || h > 1024 ||
            i + 2 + static_cast<size_t>(w * h) > v.size())
            break;
        auto score = [](long s) { return s >= 64 ? s - 64 : (64 - s) * 4; };
        if (bestW == 0 || score(std::max(w, h)) < score(std::max(bestW, bestH))) {
            bestAt = i;
            bestW = w;
            bestH = h;
        }
        i += 2 + static_cast<size_t>(w * h);
    }
    if (bestW == 0) return nullptr;
    auto icon = std::make_shared<media::PixelBuffer>(
        static_cast<int>(bestW), static_cast<int>(bestH), media::PixelFormat::BGRA);
    for (long y = 0; y < bestH; ++y) {
        uint8_t* row = icon->data() + y * icon->stride();
        for (long x = 0; x < bestW; ++x) {
            auto argb = static_cast<uint32_t>(v[bestAt + 2 + static_cast<size_t>(y * bestW + x)]);
            row[x * 4 + 0] = static_cast<uint8_t>(argb);
            row[x * 4 + 1] = static_cast<uint8_t>(argb >> 8);
            row[x * 4 + 2] = static_cast<uint8_t>(argb >> 16);
            row[x * 4 + 3] = static_cast<uint8_t>(argb >> 24);
        }
    }
    return icon;
}

struct Atoms {
    Atom netSupportingCheck, netClientList, netClientListStacking, netWmName, utf8, netWmPid,
        netWmIcon, netWmType, typeNormal, typeDialog, netWmState, stateHidden, wmState;
    explicit Atoms(const Connection& c)
        : netSupportingCheck(c.atom("_NET_SUPPORTING_WM_CHECK")),
          netClientList(c.atom("_NET_CLIENT_LIST")),
          netClientListStacking(c.atom("_NET_CLIENT_LIST_STACKING")),
          netWmName(c.atom("_NET_WM_NAME")),
          utf8(c.atom("UTF8_STRING")),
          netWmPid(c.atom("_NET_WM_PID")),
          netWmIcon(c.atom("_NET_WM_ICON")),
          netWmType(c.atom("_NET_WM_WINDOW_TYPE")),
          typeNormal(c.atom("_NET_WM_WINDOW_TYPE_NORMAL")),
          typeDialog(c.atom("_NET_WM_WINDOW_TYPE_DIALOG")),
          netWmState(c.atom("_NET_WM_STATE")),
          stateHidden(c.atom("_NET_WM_STATE_HIDDEN")),
          wmState(c.atom("WM_STATE")) {}
};

// Whether the server answers client-id queries (X Resource 1.2 or later).
bool hasClientIdQuery(Display* d) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XResQueryExtension(d, &eventBase, &errorBase)) return false;
    if (!XResQueryVersion(d, &major, &minor)) return false;
    return major > 1 || (major == 1 && minor >= 2);
}

// The process of the client that created `w`, as the server knows it: programs that do not set
// _NET_WM_PID (Xt, Motif, many older ones) are still local processes. None for remote clients.
std::optional<int32_t> clientProcess(Display* d, Window w) {
    XResClientIdSpec spec{static_cast<XID>(w), XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    ErrorTrap trap(d);
    if (XResQueryClientIds(d, 1, &spec, &count, &values) != Success || trap.sync()) {
        if (values) XResClientIdsDestroy(count, values);
        return std::nullopt;
    }
    std::optional<int32_t> pid;
    for (long i = 0; i < count && !pid; ++i) {
        pid_t value = XResGetClientPid(&values[i]);
        if (value > 0) pid = static_cast<int32_t>(value);
    }
    XResClientIdsDestroy(count, values);
    return pid;
}

bool windowManagerRuns(Display* d, Window root, const Atoms& a) {
    auto check = windowProperty(d, root, a.netSupportingCheck);
    if (!check || *check == 0) return false;
    // A stale property from a window manager that has exited points at a dead window.
    auto again = windowProperty(d, *check, a.netSupportingCheck);
    return again && *again == *check;
}

std::optional<WindowInfo> describeWindow(Display* d, Window root, Window w, const Atoms& a,
                                         bool managed, bool askServerForProcess) {
    XWindowAttributes attributes{};
    {
        ErrorTrap trap(d);
        if (!XGetWindowAttributes(d, w, &attributes) || trap.sync()) return std::nullopt;
    }
    if (attributes.c_class != InputOutput) return std::nullopt;
    WindowInfo info;
    info.id = static_cast<uint32_t>(w);
    int rx = attributes.x, ry = attributes.y;
    {
        ErrorTrap trap(d);
        Window child = 0;
        if (XTranslateCoordinates(d, w, root, 0, 0, &rx, &ry, &child) && !trap.sync()) {
        } else {
            rx = attributes.x;
            ry = attributes.y;
        }
    }
    info.frame = PixelRect{rx, ry, attributes.width, attributes.height};
    if (auto name = textProperty(d, w, a.netWmName, a.utf8)) {
        info.title = *name;
    } else if (auto legacy = textProperty(d, w, XA_WM_NAME, XA_STRING)) {
        info.title = *legacy;
    }
    if (auto pid = cardinalProperty(d, w, a.netWmPid, XA_CARDINAL, 1); pid && !pid->empty()) {
        info.pid = static_cast<int32_t>((*pid)[0]);
    } else if (askServerForProcess) {
        info.pid = clientProcess(d, w);
    }
    auto wmClass = stringListProperty(d, w, XA_WM_CLASS);
    if (wmClass.size() >= 2 && !wmClass[1].empty()) {
        info.applicationName = wmClass[1];
    } else if (!wmClass.empty()) {
        info.applicationName = wmClass[0];
    }
    bool normalType = true;
    if (auto types = cardinalProperty(d, w, a.netWmType, XA_ATOM, 16); types && !types->empty()) {
        // The first type the window names is the one it prefers.
        Atom first = static_cast<Atom>((*types)[0]);
        normalType = first == a.typeNormal || first == a.typeDialog;
    }
    info.isNormalLayer = normalType && !attributes.override_redirect;
    if (attributes.map_state == IsViewable) {
        info.isOnScreen = true;
    } else if (managed) {
        // Window managers unmap windows of other desktops; minimised ones carry the hidden state.
        bool hidden = false;
        if (auto states = cardinalProperty(d, w, a.netWmState, XA_ATOM, 32)) {
            hidden = std::find(states->begin(), states->end(), a.stateHidden) != states->end();
        }
        info.isOnScreen = !hidden;
    }
    info.icon = readIcon(d, w, a.netWmIcon);
    return info;
}

}  // namespace

Result<std::vector<DisplayInfo>, screen::CaptureError> queryDisplays(const char* displayName) {
    auto opened = Connection::open(displayName);
    if (!opened) return fail(std::move(opened).error());
    const Connection& connection = **opened;
    return listDisplays(connection, DefaultRootWindow(connection.get()));
}

Result<CaptureTargetList, screen::CaptureError> listCaptureTargets(const char* displayName) {
    auto opened = Connection::open(displayName);
    if (!opened) return fail(std::move(opened).error());
    const Connection& connection = **opened;
    Display* d = connection;
    Window root = DefaultRootWindow(d);
    Atoms atoms(connection);
    CaptureTargetList content;
    content.displays = listDisplays(d, root);
    content.hasWindowManager = windowManagerRuns(d, root, atoms);
    const bool askServerForProcess = hasClientIdQuery(d);

    std::vector<Window> clients;
    std::set<Window> seen;
    if (content.hasWindowManager) {
        auto list = cardinalProperty(d, root, atoms.netClientListStacking, XA_WINDOW);
        if (!list || list->empty())
            list = cardinalProperty(d, root, atoms.netClientList, XA_WINDOW);
        if (list) {
            for (unsigned long w : *list) {
                if (seen.insert(w).second) clients.push_back(static_cast<Window>(w));
            }
        }
    }
    std::vector<WindowInfo> windows;
    for (Window w : clients) {
        if (auto info = describeWindow(d, root, w, atoms, true, askServerForProcess))
            windows.push_back(std::move(*info));
    }
    // Without a window manager the root's mapped children are the windows; with one, only
    // unmanaged override-redirect top-levels are added (menus, tooltips, overlays).
    for (Window w : rootChildren(d, root)) {
        if (seen.count(w)) continue;
        XWindowAttributes attributes{};
        {
            ErrorTrap trap(d);
            if (!XGetWindowAttributes(d, w, &attributes) || trap.sync()) continue;
        }
        if (attributes.map_state != IsViewable) continue;
        if (content.hasWindowManager && !attributes.override_redirect) continue;
        if (auto info = describeWindow(d, root, w, atoms, false, askServerForProcess))
            windows.push_back(std::move(*info));
    }
    content.windows = std::move(windows);
    return content;
}

}  // namespace zimlo::x11
