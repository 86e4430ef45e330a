#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "recording/Permissions.h"

class QMessageBox;
class QWidget;

namespace zimlo::recording {

// Explains a missing permission; its first button opens the desktop's privacy settings.
namespace PermissionAlert {

QString title(PermissionKind kind);
QString text(PermissionKind kind);
// The privacy section the settings should show, by the names the recorder has always used.
QString settingsAnchor(PermissionKind kind);

// The buttons' texts ("去授权", "取消").
QString authorizeButtonText();
QString cancelButtonText();

// With a window: window-modal on it, returns at once; the answer is handled when the box closes.
// Without one: application-modal, returns after the answer. Only "去授权" opens the settings.
void show(PermissionKind kind, QWidget* window = nullptr);

// A program and arguments that open a desktop's settings panel.
struct SettingsCommand {
    QString program;
    QStringList arguments;
};

// The panel for `kind` on the desktop named by `currentDesktop` (the XDG_CURRENT_DESKTOP
// value), or none when that desktop has no such panel.
std::optional<SettingsCommand> settingsCommand(PermissionKind kind, const QString& currentDesktop);

// Opens the settings panel for `kind` on the running desktop; does nothing where there is none
// or its program is not installed. Returns whether a panel was started.
bool openSettings(PermissionKind kind);

// Starts a settings program (detached). Tests replace it; empty restores the default.
using SettingsLauncher = std::function<bool(const SettingsCommand&)>;
void setSettingsLauncher(SettingsLauncher launcher);

// The look every alert of the application shares: a bold message and an informative text wide
// enough to read as a paragraph.
void applyAlertLook(QMessageBox* box);

// The alert box itself, unshown, with title, text, warning icon and the two buttons.
QMessageBox* makeAlert(PermissionKind kind, QWidget* parent);

}  // namespace PermissionAlert

}  // namespace zimlo::recording
