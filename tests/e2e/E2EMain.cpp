#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "E2ESupport.h"
#include "app/ApplicationSetup.h"
#include "platform/runtime/Threads.h"
#include "platform/storage/RecordingFolder.h"
#include "sandbox/PrivateHome.h"
#include "sandbox/PulseServer.h"
#include "sandbox/XvfbServer.h"
#include "support/CrashBacktrace.h"

namespace zimlo::e2e {

Environment theEnvironment;

const Environment& environment() { return theEnvironment; }

}  // namespace zimlo::e2e

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    zimlo::test::printBacktraceOnCrash();
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    qputenv("XDG_CURRENT_DESKTOP", "");
    // The checks read the window's Chinese status lines, also when run by hand or by a benchmark
    // outside CTest (which sets this for every test).
    qputenv("ZIMLO_LANGUAGE", "zh");
    if (listing) return RUN_ALL_TESTS();  // no servers, no windows

    int result = 1;
    try {
        // Private folders, so drafts, settings, caches and temporary files are the tests' own.
        zimlo::sandbox::PrivateHome home("zimlo-e2e");
        auto& env = zimlo::e2e::theEnvironment;
        env.root = home.root();
        env.home = home.home();
        env.temporary = home.temporary();
        env.recordings = zimlo::recordingsDirectory();
        {
            // ZIMLO_E2E_SCREEN: another screen (a 4K one, "3840x2160x24", for benchmarks).
            const char* chosen = std::getenv("ZIMLO_E2E_SCREEN");
            const std::string screen = chosen && *chosen ? chosen : "1920x1080x24";
            if (std::sscanf(screen.c_str(), "%dx%d", &env.screenWidth, &env.screenHeight) != 2 ||
                env.screenWidth <= 0 || env.screenHeight <= 0)
                throw std::runtime_error("ZIMLO_E2E_SCREEN is not WxHxD: " + screen);
            zimlo::sandbox::XvfbServer xvfb(screen);
            xvfb.exportDisplay();
            env.display = xvfb.displayName();
            qputenv("QT_QPA_PLATFORM", "xcb");
            zimlo::sandbox::PulseServer pulse;
            env.pulse = &pulse;
            QApplication app(argc, argv);
            zimlo::app::setUpApplication(app);
            result = RUN_ALL_TESTS();
            zimlo::finishLetGoThreads([] { QCoreApplication::processEvents(); });
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    } catch (const std::exception& error) {
        std::cerr << "end-to-end environment: " << error.what() << "\n";
        return 1;
    }
    return result;
}
