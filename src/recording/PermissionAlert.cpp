#include "recording/PermissionAlert.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QWidget>

namespace zimlo::recording::PermissionAlert {
namespace {

SettingsLauncher& launcherSlot() {
    static SettingsLauncher launcher;
    return launcher;
}

bool launchDetached(const SettingsCommand& command) {
    if (QStandardPaths::findExecutable(command.program).isEmpty()) return false;
    return QProcess::startDetached(command.program, command.arguments);
}

QAbstractButton* authorizeButton(QMessageBox* box) {
    for (QAbstractButton* button : box->buttons()) {
        if (box->buttonRole(button) == QMessageBox::AcceptRole) return button;
    }
    return nullptr;
}

bool desktopIs(const QString& currentDesktop, const QString& name) {
    // XDG_CURRENT_DESKTOP is a colon-separated list, e.g. "ubuntu:GNOME".
    const auto parts = currentDesktop.split(u':', Qt::SkipEmptyParts);
    for (const auto& part : parts) {
        if (part.compare(name, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

}  // namespace

QString title(PermissionKind kind) {
    switch (kind) {
        case PermissionKind::screenRecording:
            return QCoreApplication::translate("PermissionAlert", "需要屏幕录制权限");
        case PermissionKind::camera:
            return QCoreApplication::translate("PermissionAlert", "需要摄像头权限");
        case PermissionKind::microphone:
            return QCoreApplication::translate("PermissionAlert", "需要麦克风权限");
        case PermissionKind::speech:
            return QCoreApplication::translate("PermissionAlert", "需要语音识别权限");
    }
    return {};
}

QString text(PermissionKind kind) {
    switch (kind) {
        case PermissionKind::screenRecording:
            return QCoreApplication::translate(
                "PermissionAlert", "请在系统设置中允许Zimlo录制屏幕。授权后需要重新打开录屏页面。");
        case PermissionKind::camera:
            return QCoreApplication::translate(
                "PermissionAlert", "请在系统设置中允许Zimlo使用摄像头，才能显示前摄小窗口。");
        case PermissionKind::microphone:
            return QCoreApplication::translate(
                "PermissionAlert", "请在系统设置中允许Zimlo使用麦克风，才能录制声音和生成字幕。");
        case PermissionKind::speech:
            return QCoreApplication::translate(
                "PermissionAlert", "请在系统设置中允许Zimlo使用语音识别，才能生成实时字幕。");
    }
    return {};
}

QString authorizeButtonText() { return QCoreApplication::translate("PermissionAlert", "去授权"); }

QString cancelButtonText() { return QCoreApplication::translate("PermissionAlert", "取消"); }

QString settingsAnchor(PermissionKind kind) {
    switch (kind) {
        case PermissionKind::screenRecording:
            return QStringLiteral("Privacy_ScreenCapture");
        case PermissionKind::camera:
            return QStringLiteral("Privacy_Camera");
        case PermissionKind::microphone:
            return QStringLiteral("Privacy_Microphone");
        case PermissionKind::speech:
            return QStringLiteral("Privacy_SpeechRecognition");
    }
    return {};
}

std::optional<SettingsCommand> settingsCommand(PermissionKind kind, const QString& currentDesktop) {
    // GNOME has privacy panels for the camera and the microphone; KDE Plasma only an audio
    // devices module. Neither desktop gates screen capture on X11 or local speech recognition.
    if (desktopIs(currentDesktop, QStringLiteral("GNOME")) ||
        desktopIs(currentDesktop, QStringLiteral("Unity"))) {
        switch (kind) {
            case PermissionKind::camera:
                return SettingsCommand{QStringLiteral("gnome-control-center"),
                                       {QStringLiteral("camera")}};
            case PermissionKind::microphone:
                return SettingsCommand{QStringLiteral("gnome-control-center"),
                                       {QStringLiteral("microphone")}};
            default:
                return std::nullopt;
        }
    }
    if (desktopIs(currentDesktop, QStringLiteral("KDE"))) {
        if (kind == PermissionKind::microphone) {
            return SettingsCommand{QStringLiteral("systemsettings"),
                                   {QStringLiteral("kcm_pulseaudio")}};
        }
        return std::nullopt;
    }
    return std::nullopt;
}

bool openSettings(PermissionKind kind) {
    const auto command =
        settingsCommand(kind, QString::fromLocal8Bit(qgetenv("XDG_CURRENT_DESKTOP")));
    if (!command) return false;
    const SettingsLauncher& launcher = launcherSlot();
    return launcher ? launcher(*command) : launchDetached(*command);
}

void setSettingsLauncher(SettingsLauncher launcher) { launcherSlot() = std::move(launcher); }

void applyAlertLook(QMessageBox* box) {
    box->setStyleSheet(
        QStringLiteral("QLabel#qt_msgbox_label { font-size: 15px; font-weight: 600; }"
                       "QLabel#qt_msgbox_informativelabel { min-width: 320px; font-size: 13px; }"
                       "QPushButton { min-width: 72px; padding: 4px 12px; }"));
}

QMessageBox* makeAlert(PermissionKind kind, QWidget* parent) {
    auto* box = new QMessageBox(parent);
    applyAlertLook(box);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Zimlo"));
    box->setText(title(kind));
    box->setInformativeText(text(kind));
    QPushButton* authorize = box->addButton(authorizeButtonText(), QMessageBox::AcceptRole);
    QPushButton* cancel = box->addButton(cancelButtonText(), QMessageBox::RejectRole);
    box->setDefaultButton(authorize);
    box->setEscapeButton(cancel);
    return box;
}

void show(PermissionKind kind, QWidget* window) {
    if (window) {
        QWidget* top = window->window();
        QMessageBox* box = makeAlert(kind, top);
        box->setWindowModality(Qt::WindowModal);
        box->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<QAbstractButton> authorize = authorizeButton(box);
        QObject::connect(box, &QMessageBox::buttonClicked, box,
                         [kind, authorize](QAbstractButton* b) {
                             if (b && b == authorize) openSettings(kind);
                         });
        box->open();
        return;
    }
    QMessageBox* box = makeAlert(kind, nullptr);
    box->setWindowModality(Qt::ApplicationModal);
    QAbstractButton* authorize = authorizeButton(box);
    box->exec();
    const bool accepted = box->clickedButton() == authorize;
    delete box;
    if (accepted) openSettings(kind);
}

}  // namespace zimlo::recording::PermissionAlert
