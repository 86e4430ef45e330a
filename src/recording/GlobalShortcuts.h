#pragma once

#include <QKeySequence>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/ScreenCaptureTarget.h"
#include "platform/storage/SettingsFile.h"
#include "platform/x11/GlobalHotkeys.h"

namespace zimlo::recording {

// The two key combinations that reach the recording window from every window of an X11
// desktop: one starts and stops the recording, the other pauses and resumes it.
struct GlobalShortcutSettings {
    QKeySequence toggleRecording{QStringLiteral("Ctrl+Alt+R")};
    QKeySequence pauseRecording{QStringLiteral("Ctrl+Alt+P")};
    friend bool operator==(const GlobalShortcutSettings&, const GlobalShortcutSettings&) = default;
};

// Kept in the user's defaults as Qt's portable text ("Ctrl+Alt+R"), one key each.
class GlobalShortcutStore {
  public:
    static constexpr std::string_view toggleRecordingKey = "zimlo.globalShortcut.toggleRecording";
    static constexpr std::string_view pauseRecordingKey = "zimlo.globalShortcut.pauseRecording";

    explicit GlobalShortcutStore(std::shared_ptr<SettingsFile> defaults);
    // A missing or unreadable value is its default.
    GlobalShortcutSettings load() const;
    // The first failed write stops it and says why.
    Result<void, FileError> save(const GlobalShortcutSettings& settings) const;

  private:
    std::shared_ptr<SettingsFile> defaults_;
};

// The combination X knows for the first chord of `sequence`; none for a key X has no symbol for,
// or without Ctrl, Alt or Super (a bare key would be taken away from every other program).
std::optional<x11::GlobalHotkeys::Combination> x11Combination(const QKeySequence& sequence);

// Whether global shortcuts can work for this window: an X11 session with the window on X11 and
// the screen captured through X11. No desktop portal of Debian 12 offers global shortcuts to
// Wayland clients, and XWayland sees keys only while one of its own windows has the focus.
bool globalShortcutsAvailable(const capture::ScreenCaptureTarget& target);

// The two combinations grabbed on the X display of a recording window; presses arrive on the
// main thread.
class GlobalShortcuts : public std::enable_shared_from_this<GlobalShortcuts> {
    struct Private {};

  public:
    // Throws std::runtime_error with a user-facing text when the display cannot be opened.
    static std::shared_ptr<GlobalShortcuts> create(const std::string& displayName);
    GlobalShortcuts(Private, const std::string& displayName);

    std::function<void()> onToggleRecording;
    std::function<void()> onPauseRecording;

    // Grabs both combinations in place of the earlier ones. Returns what the status line should
    // say about those that could not be taken; empty when both were.
    QString apply(const GlobalShortcutSettings& settings);

  private:
    void pressed(int id);
    std::unique_ptr<x11::GlobalHotkeys> hotkeys_;
};

}  // namespace zimlo::recording
