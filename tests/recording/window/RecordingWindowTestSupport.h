#pragma once

// The recording window on a private X server and PulseAudio daemon, with a generated camera:
// what every window test sets up.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <filesystem>
#include <map>
#include <memory>

#include "app/QtTestSupport.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "capture/ScreenRecordingAudioMixer.h"
#include "model/DraftStore.h"
#include "platform/camera/GeneratedCamera.h"
#include "platform/storage/SettingsFile.h"
#include "platform/x11/CaptureTargetList.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/PermissionAlert.h"
#include "recording/Permissions.h"
#include "recording/RecordingWindow.h"
#include "sandbox/PulseServer.h"
#include "support/ResultValue.h"

namespace zimlo::recording::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qttest::pumpUntil;

class RecordingWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zimlo::sandbox::PulseServer::shared();
        directory = fs::temp_directory_path() /
                    ("zimlo-window-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        fs::create_directories(directory / "tmp");
        capture::ScreenRecordingAudioMixer::setOutputDirectory(directory / "tmp");
        Permissions::setStatusProvider([statuses = statuses](PermissionKind kind) {
            auto found = statuses->find(kind);
            return found == statuses->end() ? AuthorizationStatus::authorized : found->second;
        });
        // Settings panels the window asks for, as on a GNOME desktop.
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        PermissionAlert::setSettingsLauncher(
            [opened = openedSettings](const PermissionAlert::SettingsCommand& command) {
                opened->push_back(command.arguments.join(u' '));
                return true;
            });
        store = std::make_shared<DraftStore>(directory / "Drafts");
        settingsStore = std::make_shared<RecordingSettingsStore>(
            std::make_shared<SettingsFile>(directory / "defaults.json"));

        auto content = zimlo::test::valueOrFailure(x11::listCaptureTargets());
        auto targets = capture::ScreenCaptureTargetProvider::buildTargets(content, ::getpid());
        ASSERT_FALSE(targets.empty());
        ASSERT_TRUE(targets.front().kind.isDisplay());
        target = targets.front();
    }

    void TearDown() override {
        Permissions::setStatusProvider(nullptr);
        PermissionAlert::setSettingsLauncher(nullptr);
        qputenv("XDG_CURRENT_DESKTOP", "");
        capture::ScreenRecordingAudioMixer::setOutputDirectory({});
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    RecordingView::Dependencies dependencies() {
        RecordingView::Dependencies deps;
        deps.sourceOptions.recordingsDirectory = directory / "tmp";
        auto generated = camera;
        deps.sourceOptions.cameraDiscovery = [generated] { return generated; };
        deps.finishServices.temporaryDirectory = directory / "tmp";
        deps.finishServices.recordingsDirectory = directory / "tmp";
        deps.finishServices.saveDraft = [store = store](const RecordingProject& p,
                                                        const std::vector<fs::path>& surrendered) {
            return store->saveDraft(p, surrendered);
        };
        deps.settingsStore = settingsStore;
        deps.clock = [now = now] { return *now; };
        if (adjustSource) adjustSource(deps.sourceOptions);
        return deps;
    }

    std::unique_ptr<RecordingView> makeController() {
        auto controller = std::make_unique<RecordingView>(target, dependencies());
        controller->resize(1180, 760);
        controller->show();
        return controller;
    }

    // Waits until the source reported its first measured status.
    static bool waitUntilReady(RecordingView& c) {
        return pumpUntil(
            [&] { return c.latestCaptureStatus().has_value() && c.recordButton()->isEnabled(); },
            20s);
    }

    // Permission statuses other than authorised, by kind.
    std::shared_ptr<std::map<PermissionKind, AuthorizationStatus>> statuses =
        std::make_shared<std::map<PermissionKind, AuthorizationStatus>>();
    // The arguments of every settings panel opened.
    std::shared_ptr<std::vector<QString>> openedSettings = std::make_shared<std::vector<QString>>();
    // Changes to the capture source's devices and display, applied by dependencies().
    std::function<void(capture::ScreenCameraSource::Options&)> adjustSource;

    fs::path directory;
    std::shared_ptr<DraftStore> store;
    std::shared_ptr<RecordingSettingsStore> settingsStore;
    std::shared_ptr<camera::GeneratedCamera> camera = std::make_shared<camera::GeneratedCamera>();
    std::shared_ptr<double> now = std::make_shared<double>(1000);
    capture::ScreenCaptureTarget target;
};

}  // namespace zimlo::recording::test
