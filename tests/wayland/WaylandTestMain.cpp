// GoogleTest entry point for tests on the fixture's Wayland desktop: the process joins that
// session (bus, display, sound server) with folders of its own, and its main queue is a loop
// the tests pump. The Qt variant runs a QApplication on the Wayland display instead.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "platform/runtime/MainQueue.h"
#include "platform/runtime/Threads.h"
#include "support/CrashBacktrace.h"
#include "wayland/WaylandSession.h"

#ifdef ZIMLO_WAYLAND_QT
#include <QApplication>
#include <QEvent>

#include "app/QtTestSupport.h"
#include "platform/runtime/QtMainQueue.h"
#else
#include "support/TestMain.h"
#endif

namespace fs = std::filesystem;

#ifndef ZIMLO_WAYLAND_QT
namespace zimlo::test {
namespace {
std::shared_ptr<ManualMainLoop> installedLoop;
}
ManualMainLoop& mainLoop() { return *installedLoop; }
}  // namespace zimlo::test
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    zimlo::test::printBacktraceOnCrash();
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();  // no session needed

    std::string pattern = (fs::temp_directory_path() / "zimlo-wayland-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::cerr << "cannot create the test's folder\n";
        return 1;
    }
    const fs::path root = pattern;
    int result = 1;
    try {
        zimlo::test::WaylandSession::shared().enter(root);
#ifdef ZIMLO_WAYLAND_QT
        qputenv("QT_QPA_PLATFORM", "wayland");
        QApplication app(argc, argv);
        QApplication::setApplicationName("Zimlo");
        QApplication::setDesktopFileName("zimlo");
        zimlo::MainQueue::install(std::make_shared<zimlo::QtMainQueue>());
        result = RUN_ALL_TESTS();
        zimlo::finishLetGoThreads([] { QCoreApplication::processEvents(); });
        zimlo::qttest::settle();
#else
        zimlo::test::installedLoop = std::make_shared<zimlo::ManualMainLoop>();
        zimlo::MainQueue::install(zimlo::test::installedLoop);
        result = RUN_ALL_TESTS();
        zimlo::finishLetGoThreads([] { zimlo::test::installedLoop->runPending(); });
#endif
    } catch (const std::exception& error) {
        std::cerr << "Wayland session: " << error.what() << "\n";
        result = 1;
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return result;
}
