#include "support/TestMain.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/runtime/Threads.h"
#include "support/CrashBacktrace.h"

namespace zimlo::test {
namespace {
std::shared_ptr<ManualMainLoop> installedLoop;
}

ManualMainLoop& mainLoop() { return *installedLoop; }

}  // namespace zimlo::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    zimlo::test::printBacktraceOnCrash();
    zimlo::test::installedLoop = std::make_shared<zimlo::ManualMainLoop>();
    zimlo::MainQueue::install(zimlo::test::installedLoop);
    const int result = RUN_ALL_TESTS();
    zimlo::finishLetGoThreads([] { zimlo::test::installedLoop->runPending(); });
    return result;
}
