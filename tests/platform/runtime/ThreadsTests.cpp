#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/runtime/Threads.h"
#include "support/LogCapture.h"

using namespace zimlo;

TEST(Threads, NamesAreCutToWhatLinuxKeepsWithoutSplittingACharacter) {
    EXPECT_EQ(threadNameFor("v4l2-camera"), "v4l2-camera");
    EXPECT_EQ(threadNameFor("pulse-reconnect"), "pulse-reconnect");  // exactly 15 bytes
    EXPECT_EQ(threadNameFor("writer-passthrough"), "writer-passthro");
    EXPECT_EQ(threadNameFor(""), "zimlo");
    // "录制" is 3 bytes a character: 12 bytes of "abcdefghijkl" and then a character that would
    // need bytes 13 to 15 fits; one byte more and it does not.
    EXPECT_EQ(threadNameFor("abcdefghijkl录制"), "abcdefghijkl录");
    EXPECT_EQ(threadNameFor("abcdefghijklm录制"), "abcdefghijklm");
}

// The name is set before the body runs (its first log line carries it), and the start and the
// end are in the log at debug level with that name.
TEST(Threads, StartedThreadsAreNamedBeforeTheirBodyAndLogTheirLifetime) {
    test::LogCapture captured;
    std::string seen;
    std::thread thread = startThread("writer-passthrough", [&] { seen = currentThreadName(); });
    thread.join();

    EXPECT_EQ(seen, "writer-passthro");
    const auto lines = captured.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("debug [writer-passthro] thread: started"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("debug [writer-passthro] thread: ended"), std::string::npos)
        << lines[1];
}

namespace {
// Sets its flag when destroyed: what a thread's body holds (an export's state) going away.
struct Held {
    std::shared_ptr<std::atomic<bool>> gone;
    ~Held() {
        if (gone) *gone = true;
    }
};
}  // namespace

// A process waits for the threads it let go, and for what their bodies hold, before it takes
// its libraries down; a thread that is stuck makes the wait give up at its time limit, pumping
// the main loop meanwhile.
TEST(Threads, LetGoThreadsAreWaitedForUntilTheyAndWhatTheyHoldAreGone) {
    using namespace std::chrono_literals;
    auto gone = std::make_shared<std::atomic<bool>>(false);
    auto held = std::make_shared<Held>();
    held->gone = gone;
    letGo(
        startThread("finishing", [held = std::move(held)] { std::this_thread::sleep_for(150ms); }));
    EXPECT_TRUE(waitForLetGoThreads(10s));
    EXPECT_TRUE(*gone) << "the wait ended while the body's captures were still held";

    std::atomic<bool> release{false};
    letGo(startThread("stuck", [&release] {
        while (!release) std::this_thread::sleep_for(5ms);
    }));
    int pumped = 0;
    EXPECT_FALSE(waitForLetGoThreads(100ms, [&] { ++pumped; }));
    EXPECT_GT(pumped, 0);
    release = true;
    EXPECT_TRUE(waitForLetGoThreads(10s));
}

// A thread that ended before it was let go is not waited for.
TEST(Threads, AThreadThatEndedBeforeItWasLetGoIsNotWaitedFor) {
    using namespace std::chrono_literals;
    std::atomic<bool> ran{false};
    std::thread thread = startThread("quick", [&ran] { ran = true; });
    while (!ran) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    letGo(std::move(thread));
    EXPECT_TRUE(waitForLetGoThreads(0ms));
}
