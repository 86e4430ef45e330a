#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/x11/X11Connection.h"
#include "platform/x11/XvfbEnvironment.h"

// After Xlib's own types.
#include <X11/extensions/XShm.h>

namespace zimlo::x11 {
namespace {

// Pictures of the picker's targets, the recording's own stream and the hotkeys each open and
// close connections of their own on threads of their own. Xlib's extension bookkeeping is shared
// by every connection of the process; opening, using an extension and closing on several threads
// at once must not tear it down under another thread (a freed record written to, found as a
// corrupt heap, ended the recording application now and then when the picker closed).
TEST(Connection, ManyThreadsOpenUseAndCloseConnectionsAtOnce) {
    const std::string name = test::XvfbEnvironment::displayName();
    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                auto connection = Connection::open(name.c_str());
                if (!connection) continue;
                int major = 0, minor = 0;
                Bool pixmaps = False;
                if (XShmQueryVersion((*connection)->get(), &major, &minor, &pixmaps)) ++answered;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), kThreads * kRounds);
}

}  // namespace
}  // namespace zimlo::x11
