#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/Application.h"
#include "app/ApplicationSetup.h"
#include "app/SingleInstance.h"
#include "capture/CaptureBackendSelection.h"
#include "capture/PlatformErrorText.h"
#include "platform/log/Log.h"
#include "platform/runtime/Threads.h"

namespace {

constexpr const char* kUsage =
    "usage: zimlo [--help] [--version] [Qt options]\n"
    "Records a display or a window of the desktop, with an optional camera window and live\n"
    "subtitles, and keeps each recording as a draft in ~/Documents/Drafts.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"
    "\n"
    "Environment:\n"
    "  ZIMLO_LANGUAGE=zh|en      the interface language (default: from the locale)\n"
    "  ZIMLO_CAPTURE=x11|portal  how the screen is recorded (default: from the desktop)\n"
    "  ZIMLO_LOG=debug|info|warn|error|off, ZIMLO_LOG_FILE=1  what is logged, and where\n"
    "\n"
    "See also zimlo-tool(1).\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before anything needs a desktop.
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version" || argument == "-v") {
            std::printf("zimlo %s\n", ZIMLO_VERSION);
            return 0;
        }
    }
    // Wayland desktops are recorded through the desktop portal, X11 ones through X11.
    const auto choice = zimlo::capture::currentCaptureBackend();
    if (!choice.backend) {
        ZIMLO_LOG_ERROR("app") << "no way to record the screen: "
                               << zimlo::capture::userText(choice);
        std::fprintf(
            stderr,
            "Start Zimlo from a desktop session (Wayland with xdg-desktop-portal, or X11),\n"
            "or on a headless machine run a virtual display first:\n"
            "  Xvfb :1 -screen 0 1920x1080x24 &  DISPLAY=:1 zimlo\n");
        return 1;
    }
    // With the portal the app is a native Wayland client (XWayland where Qt's Wayland plugin
    // is missing); X11 capture leaves out our own windows by their X11 identity, so it needs
    // X11 windows.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM",
                *choice.backend == zimlo::screen::CaptureBackend::portal ? "wayland;xcb" : "xcb");
    QApplication app(argc, argv);
    // One Zimlo per user: two windows recording at once would race for the same files.
    zimlo::app::SingleInstance instance;
    if (!instance.isPrimary()) {
        if (instance.activatePrimary()) return 0;
        ZIMLO_LOG_ERROR("app") << "another Zimlo is running but does not answer";
        return 1;
    }
    zimlo::app::setUpApplication(app);

    int result = 0;
    {
        zimlo::app::Application delegate(zimlo::app::ShellServices::system());
        delegate.started();
        instance.onActivationRequested = [&delegate] { delegate.activate(); };
        result = app.exec();
        instance.onActivationRequested = nullptr;
    }
    // A movie still being finished or a queue's last task must not meet Qt taken down.
    zimlo::finishLetGoThreads([] { QCoreApplication::processEvents(); });
    return result;
}
