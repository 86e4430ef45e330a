#pragma once

#include <chrono>
#include <functional>

#include "platform/runtime/ManualMainLoop.h"

namespace zimlo::test {

// The main loop the test program installed as the main queue. Tests run on its thread.
ManualMainLoop& mainLoop();

// Pumps the main loop until `done` holds or `timeout` passes.
inline bool pumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return mainLoop().runUntil(done, timeout);
}

}  // namespace zimlo::test
