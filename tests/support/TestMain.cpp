#include "support/TestMain.h"

#include <gtest/gtest.h>

#include <memory>

namespace zimlo::test {
namespace {
std::shared_ptr<ManualMainLoop> installedLoop;
}

ManualMainLoop& mainLoop() { return *installedLoop; }

}  // namespace zimlo::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    zimlo::test::installedLoop = std::make_shared<zimlo::ManualMainLoop>();
    zimlo::MainQueue::install(zimlo::test::installedLoop);
    return RUN_ALL_TESTS();
}
