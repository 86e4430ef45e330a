#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <optional>
#include <vector>

#include "app/QtTestSupport.h"
#include "platform/runtime/MainQueue.h"
#include "recording/PermissionAlert.h"
#include "recording/Permissions.h"

namespace zimlo::recording {
namespace {

using qttest::pumpUntil;

// Feeds fixed status values and restores the device probe afterwards.
class PermissionRequests : public ::testing::Test {
  protected:
    void TearDown() override { Permissions::setStatusProvider(nullptr); }
    void feed(AuthorizationStatus camera, AuthorizationStatus microphone,
              AuthorizationStatus speech) {
        Permissions::setStatusProvider([=](PermissionKind kind) {
            switch (kind) {
                case PermissionKind::camera:
                    return camera;
                case PermissionKind::microphone:
                    return microphone;
                case PermissionKind::speech:
                    return speech;
                default:
                    return AuthorizationStatus::authorized;
            }
        });
    }
};

TEST_F(PermissionRequests, AnswersArriveLaterOnTheMainThreadConverted) {
    struct Case {
        AuthorizationStatus status;
        CameraAuthorizationResult camera;
        bool microphone;
        bool speech;
    };
    // A restricted camera stays `restricted` (the window explains it differently); speech counts
    // only `authorized`.
    const std::vector<Case> cases = {
        {AuthorizationStatus::authorized, CameraAuthorizationResult::authorized, true, true},
        {AuthorizationStatus::restricted, CameraAuthorizationResult::restricted, false, false},
        {AuthorizationStatus::denied, CameraAuthorizationResult::denied, false, false},
        // No device: nothing refuses, so camera and microphone are granted; speech is not.
        {AuthorizationStatus::notDetermined, CameraAuthorizationResult::authorized, true, false},
    };
    for (const Case& c : cases) {
        feed(c.status, c.status, c.status);
        std::optional<CameraAuthorizationResult> camera;
        std::optional<bool> microphone, speech;
        std::atomic<int> offMain{0};
        auto onMain = [&] {
            if (!MainQueue::isMainThread()) ++offMain;
        };
        Permissions::requestCameraAccess(
            [&](CameraAuthorizationResult r) { onMain(), camera = r; });
        Permissions::requestMicrophoneAccess([&](bool g) { onMain(), microphone = g; });
        Permissions::requestSpeechAuthorization([&](bool a) { onMain(), speech = a; });
        EXPECT_FALSE(camera || microphone || speech) << "answered inside the request";
        ASSERT_TRUE(pumpUntil([&] { return camera && microphone && speech; }))
            << static_cast<int>(c.status);
        EXPECT_EQ(*camera, c.camera) << static_cast<int>(c.status);
        EXPECT_EQ(*microphone, c.microphone) << static_cast<int>(c.status);
        EXPECT_EQ(*speech, c.speech) << static_cast<int>(c.status);
        EXPECT_EQ(offMain.load(), 0);
    }
}

TEST(PermissionAlertTexts, EachKindHasItsTitleTextAndAnchor) {
    using namespace PermissionAlert;
    EXPECT_EQ(title(PermissionKind::screenRecording), QStringLiteral("需要屏幕录制权限"));
    EXPECT_EQ(text(PermissionKind::screenRecording),
              QStringLiteral("请在系统设置中允许Zimlo录制屏幕。授权后需要重新打开录屏页面。"));
    EXPECT_EQ(title(PermissionKind::camera), QStringLiteral("需要摄像头权限"));
    EXPECT_EQ(text(PermissionKind::camera),
              QStringLiteral("请在系统设置中允许Zimlo使用摄像头，才能显示前摄小窗口。"));
    EXPECT_EQ(title(PermissionKind::microphone), QStringLiteral("需要麦克风权限"));
    EXPECT_EQ(text(PermissionKind::microphone),
              QStringLiteral("请在系统设置中允许Zimlo使用麦克风，才能录制声音和生成字幕。"));
    EXPECT_EQ(title(PermissionKind::speech), QStringLiteral("需要语音识别权限"));
    EXPECT_EQ(text(PermissionKind::speech),
              QStringLiteral("请在系统设置中允许Zimlo使用语音识别，才能生成实时字幕。"));
    EXPECT_EQ(settingsAnchor(PermissionKind::speech), QStringLiteral("Privacy_SpeechRecognition"));
}

TEST(PermissionSettings, PanelsExistOnlyWhereTheDesktopHasThem) {
    using PermissionAlert::settingsCommand;
    auto gnomeCamera = settingsCommand(PermissionKind::camera, QStringLiteral("ubuntu:GNOME"));
    ASSERT_TRUE(gnomeCamera);
    EXPECT_EQ(gnomeCamera->program, QStringLiteral("gnome-control-center"));
    EXPECT_EQ(gnomeCamera->arguments, QStringList{QStringLiteral("camera")});
    auto kdeMicrophone = settingsCommand(PermissionKind::microphone, QStringLiteral("KDE"));
    ASSERT_TRUE(kdeMicrophone);
    EXPECT_EQ(kdeMicrophone->program, QStringLiteral("systemsettings"));
    EXPECT_FALSE(settingsCommand(PermissionKind::camera, QStringLiteral("KDE")));
    EXPECT_FALSE(settingsCommand(PermissionKind::screenRecording, QStringLiteral("GNOME")));
    EXPECT_FALSE(settingsCommand(PermissionKind::speech, QStringLiteral("GNOME")));
    EXPECT_FALSE(settingsCommand(PermissionKind::camera, QStringLiteral("XFCE")));
    EXPECT_FALSE(settingsCommand(PermissionKind::camera, QString()));
}

// Records which settings panels the alert asked for, on a GNOME desktop.
class PermissionAlertFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        PermissionAlert::setSettingsLauncher([this](const PermissionAlert::SettingsCommand& c) {
            opened.push_back(c.arguments.join(u' '));
            return true;
        });
    }
    void TearDown() override {
        PermissionAlert::setSettingsLauncher(nullptr);
        qputenv("XDG_CURRENT_DESKTOP", "");
    }

    static QMessageBox* findAlert(QWidget* parent) {
        const auto boxes = parent ? parent->findChildren<QMessageBox*>() : QList<QMessageBox*>();
        for (QMessageBox* box : boxes) {
            if (box->isVisible()) return box;
        }
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
        }
        return nullptr;
    }
    static void click(QMessageBox* box, const QString& text) {
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == text) return b->click();
        }
        ADD_FAILURE() << "no button " << text.toStdString();
    }

    std::vector<QString> opened;
};

TEST_F(PermissionAlertFlow, WithoutAWindowRunsModallyAndOpensOnlyForAuthorize) {
    for (const QString& answer :
         {PermissionAlert::cancelButtonText(), PermissionAlert::authorizeButtonText()}) {
        QString seenTitle, seenText;
        Qt::WindowModality modality = Qt::NonModal;
        QTimer::singleShot(0, [&] {
            QMessageBox* box = nullptr;
            pumpUntil([&] { return (box = findAlert(nullptr)) != nullptr; });
            ASSERT_TRUE(box);
            seenTitle = box->text();
            seenText = box->informativeText();
            modality = box->windowModality();
            click(box, answer);
        });
        PermissionAlert::show(PermissionKind::camera);  // returns once answered
        EXPECT_EQ(seenTitle, QStringLiteral("需要摄像头权限"));
        EXPECT_EQ(seenText, PermissionAlert::text(PermissionKind::camera));
        EXPECT_EQ(modality, Qt::ApplicationModal);
    }
    EXPECT_EQ(opened, std::vector<QString>{QStringLiteral("camera")});
}

TEST_F(PermissionAlertFlow, OnAWindowIsWindowModalAndAnswersLater) {
    QWidget window;
    window.resize(400, 300);
    window.show();
    PermissionAlert::show(PermissionKind::microphone, &window);
    QMessageBox* box = findAlert(&window);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->parentWidget(), &window);
    ASSERT_EQ(box->buttons().size(), 2);
    EXPECT_TRUE(opened.empty());
    click(box, PermissionAlert::authorizeButtonText());
    EXPECT_TRUE(pumpUntil([&] { return !opened.empty(); }));
    EXPECT_EQ(opened, std::vector<QString>{QStringLiteral("microphone")});
}

}  // namespace
}  // namespace zimlo::recording
