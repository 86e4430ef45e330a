#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <cstring>
#include <memory>

#include "app/QtTestSupport.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/QtMainQueue.h"
#include "platform/runtime/Threads.h"
#include "support/CrashBacktrace.h"

#ifdef ZIMLO_QT_TEST_XVFB
#include "sandbox/XvfbServer.h"
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    zimlo::test::printBacktraceOnCrash();
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;

#ifdef ZIMLO_QT_TEST_XVFB
    // A private X server, so tests see real windows and never touch the user's desktop.
    std::unique_ptr<zimlo::sandbox::XvfbServer> xvfb;
    if (!listing) {
        xvfb = std::make_unique<zimlo::sandbox::XvfbServer>("1920x1080x24");
        xvfb->exportDisplay();
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#else
    (void)listing;
    qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    // Keep the desktop's settings programs out of the tests.
    qputenv("XDG_CURRENT_DESKTOP", "");

    int result = 0;
    {
        QApplication app(argc, argv);
        zimlo::MainQueue::install(std::make_shared<zimlo::QtMainQueue>());
        result = RUN_ALL_TESTS();
        zimlo::finishLetGoThreads([] { QCoreApplication::processEvents(); });
        zimlo::qttest::settle();
    }
    return result;
}
