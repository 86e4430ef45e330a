// Zimlo recording in a process of its own, for the tests that kill it. Runs the application on
// the desktop, sound server and folders it inherits, and goes home → "去录制" → the display →
// "确认" → camera window (generated camera) and, with --subtitles, subtitles → "开始录制". It says
// on standard output where it got to, one line each:
//   recording    the recording runs
//   subtitled    the first subtitle was recognised (--subtitles)
//   stopped      "停止录制" was pressed (--stop-after SECONDS of recording)
// and then goes on until it is killed. A step that fails ends it with status 1.

#include <QApplication>
#include <QPushButton>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/ApplicationSetup.h"
#include "app/HomeWindowController.h"
#include "driver/ShellDriver.h"
#include "model/RecordingSettings.h"
#include "platform/camera/GeneratedCamera.h"
#include "recording/Permissions.h"
#include "recording/RecordingView.h"

namespace {

void say(const char* where) {
    std::printf("%s\n", where);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool subtitles = false;
    double stopAfter = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--subtitles") == 0)
            subtitles = true;
        else if (std::strcmp(argv[i], "--stop-after") == 0 && i + 1 < argc)
            stopAfter = std::atof(argv[++i]);
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    zimlo::app::setUpApplication(application);
    using namespace zimlo;
    recording::Permissions::setStatusProvider(
        [](recording::PermissionKind) { return recording::AuthorizationStatus::authorized; });
    camera::setCameraDiscovery([] { return std::make_shared<camera::GeneratedCamera>(); });
    if (auto saved = RecordingSettingsStore::shared()->save(
            RecordingSettings(RecordingResolution::presets().front(), CaptureFrameRate::fps30));
        !saved) {
        std::fprintf(stderr, "settings not saved: %s\n", saved.error().text().c_str());
        return 1;
    }
    try {
        auto shell = app::HomeWindowController::create(app::ShellServices::system());
        shell->window()->show();
        driver::ShellDriver driver(shell);
        driver.waitForHome();
        driver.openPicker();
        driver.pickDisplay();
        recording::RecordingView* view = driver.waitForRecordingWindow();
        driver.turnCameraOn();
        if (subtitles) driver.turnSubtitlesOn();
        driver.startRecording();
        say("recording");
        if (subtitles) {
            driver.waitForSubtitle();
            say("subtitled");
        }
        if (stopAfter >= 0) {
            driver.pumpFor(std::chrono::milliseconds(static_cast<long long>(stopAfter * 1000)));
            view->recordButton()->click();
            say("stopped");
        }
        for (;;) driver.pumpFor(std::chrono::seconds(1));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "recording child: %s\n", error.what());
        return 1;
    }
}
