#include <gtest/gtest.h>

#include <string>

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
