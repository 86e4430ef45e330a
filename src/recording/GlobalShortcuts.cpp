#include "recording/GlobalShortcuts.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>
#include <cstdlib>

#include "platform/log/Log.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"

namespace zimlo::recording {

namespace {

enum ShortcutID { kToggleRecording = 1, kPauseRecording = 2 };

// X keysyms of the keys Qt names without a printable character.
std::optional<uint32_t> namedKeysym(int key) {
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return 0xffbe + static_cast<uint32_t>(key - Qt::Key_F1);
    switch (key) {
        case Qt::Key_Space:
            return 0x0020;
        case Qt::Key_Escape:
            return 0xff1b;
        case Qt::Key_Tab:
            return 0xff09;
        case Qt::Key_Backspace:
            return 0xff08;
        case Qt::Key_Return:
            return 0xff0d;
        case Qt::Key_Enter:
            return 0xff8d;
        case Qt::Key_Insert:
            return 0xff63;
        case Qt::Key_Delete:
            return 0xffff;
        case Qt::Key_Pause:
            return 0xff13;
        case Qt::Key_Print:
            return 0xff61;
        case Qt::Key_Home:
            return 0xff50;
        case Qt::Key_End:
            return 0xff57;
        case Qt::Key_Left:
            return 0xff51;
        case Qt::Key_Up:
            return 0xff52;
        case Qt::Key_Right:
            return 0xff53;
        case Qt::Key_Down:
            return 0xff54;
        case Qt::Key_PageUp:
            return 0xff55;
        case Qt::Key_PageDown:
            return 0xff56;
        case Qt::Key_ScrollLock:
            return 0xff14;
        default:
            return std::nullopt;
    }
}

QString shown(const QKeySequence& sequence) { return sequence.toString(QKeySequence::NativeText); }

}  // namespace

GlobalShortcutStore::GlobalShortcutStore(std::shared_ptr<SettingsFile> defaults)
    : defaults_(std::move(defaults)) {}

GlobalShortcutSettings GlobalShortcutStore::load() const {
    GlobalShortcutSettings settings;
    auto read = [&](std::string_view key, QKeySequence& into) {
        const auto text = defaults_ ? defaults_->string(key) : std::nullopt;
        if (!text) return;
        const QKeySequence stored =
            QKeySequence::fromString(QString::fromStdString(*text), QKeySequence::PortableText);
        if (!stored.isEmpty() && x11Combination(stored)) into = stored;
    };
    read(toggleRecordingKey, settings.toggleRecording);
    read(pauseRecordingKey, settings.pauseRecording);
    return settings;
}

Result<void, FileError> GlobalShortcutStore::save(const GlobalShortcutSettings& settings) const {
    if (!defaults_) return {};
    if (auto stored = defaults_->setString(
            toggleRecordingKey,
            settings.toggleRecording.toString(QKeySequence::PortableText).toStdString());
        !stored)
        return stored;
    return defaults_->setString(
        pauseRecordingKey,
        settings.pauseRecording.toString(QKeySequence::PortableText).toStdString());
}

std::optional<x11::GlobalHotkeys::Combination> x11Combination(const QKeySequence& sequence) {
    if (sequence.isEmpty()) return std::nullopt;
    const QKeyCombination chord = sequence[0];
    const Qt::KeyboardModifiers qtModifiers = chord.keyboardModifiers();
    using Hotkeys = x11::GlobalHotkeys;
    unsigned modifiers = 0;
    if (qtModifiers & Qt::ControlModifier) modifiers |= Hotkeys::control;
    if (qtModifiers & Qt::AltModifier) modifiers |= Hotkeys::alt;
    if (qtModifiers & Qt::MetaModifier) modifiers |= Hotkeys::super;
    if (modifiers == 0) return std::nullopt;
    if (qtModifiers & Qt::ShiftModifier) modifiers |= Hotkeys::shift;

    const int key = chord.key();
    std::optional<uint32_t> keysym;
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        keysym = 'a' + static_cast<uint32_t>(key - Qt::Key_A);  // X names letters in lower case
    else if (key > 0x20 && key < 0x7f)
        keysym = static_cast<uint32_t>(key);  // digits and punctuation: their own code
    else
        keysym = namedKeysym(key);
    if (!keysym) return std::nullopt;
    return Hotkeys::Combination{modifiers, *keysym};
}

bool globalShortcutsAvailable(const capture::ScreenCaptureTarget& target) {
    if (target.kind.isPortal()) return false;
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return false;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return !(wayland && *wayland) && !(session && std::string_view(session) == "wayland");
}

std::shared_ptr<GlobalShortcuts> GlobalShortcuts::create(const std::string& displayName) {
    auto shortcuts = std::make_shared<GlobalShortcuts>(Private{}, displayName);
    shortcuts->hotkeys_ = std::make_unique<x11::GlobalHotkeys>(
        displayName.empty() ? nullptr : displayName.c_str(),
        [weak = std::weak_ptr<GlobalShortcuts>(shortcuts)](int id) {
            MainQueue::post(weakly(weak, [id](GlobalShortcuts& self) { self.pressed(id); }));
        });
    return shortcuts;
}

GlobalShortcuts::GlobalShortcuts(Private, const std::string&) {}

void GlobalShortcuts::pressed(int id) {
    auto handler = id == kToggleRecording ? onToggleRecording : onPauseRecording;
    if (handler) handler();
}

QString GlobalShortcuts::apply(const GlobalShortcutSettings& settings) {
    QStringList problems;
    const auto toggle = x11Combination(settings.toggleRecording);
    const auto pause = x11Combination(settings.pauseRecording);
    auto refused = [](const QKeySequence& sequence, const char* why) {
        ZIMLO_LOG_WARN("recording")
            << "the global shortcut " << sequence.toString(QKeySequence::PortableText).toStdString()
            << " " << why;
    };
    auto take = [&](int id, const QKeySequence& sequence,
                    const std::optional<x11::GlobalHotkeys::Combination>& combination) {
        if (!combination) {
            hotkeys_->release(id);
            refused(sequence, "has no Ctrl, Alt or Super");
            problems << QCoreApplication::translate(
                            "GlobalShortcuts",
                            "全局快捷键 %1 无法使用：需要含 Ctrl、Alt 或 Super 键")
                            .arg(shown(sequence));
            return;
        }
        switch (hotkeys_->grab(id, *combination)) {
            case x11::GlobalHotkeys::Grab::grabbed:
                break;
            case x11::GlobalHotkeys::Grab::takenByAnother:
                refused(sequence, "is held by another program");
                problems << QCoreApplication::translate(
                                "GlobalShortcuts",
                                "全局快捷键 %1 已被其他程序占用，请在“参数”中更换")
                                .arg(shown(sequence));
                break;
            case x11::GlobalHotkeys::Grab::unknownKey:
                refused(sequence, "names a key the keyboard does not have");
                problems << QCoreApplication::translate("GlobalShortcuts",
                                                        "全局快捷键 %1 无法使用：键盘上没有这个键")
                                .arg(shown(sequence));
                break;
        }
    };
    take(kToggleRecording, settings.toggleRecording, toggle);
    if (toggle && pause && *toggle == *pause) {
        hotkeys_->release(kPauseRecording);
        problems << QCoreApplication::translate("GlobalShortcuts",
                                                "暂停的全局快捷键不能与开始/停止的相同");
    } else {
        take(kPauseRecording, settings.pauseRecording, pause);
    }
    return problems.join(QCoreApplication::translate("GlobalShortcuts", "；"));
}

}  // namespace zimlo::recording
