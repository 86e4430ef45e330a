#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/log/Log.h"

namespace zimlo::log {
namespace {

namespace fs = std::filesystem;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zimlo-log-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        for (const char* name : {"ZIMLO_LOG", "ZIMLO_LOG_FILE", "XDG_STATE_HOME", "HOME"}) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    void TearDown() override {
        configure(Settings{});
        for (const auto& [name, value] : saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        fs::remove_all(dir);
    }
    static std::vector<std::string> lines(const fs::path& path) {
        std::ifstream in(path);
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }
    // Logs into a file only, from `threshold` on.
    fs::path logToFile(Level threshold) {
        fs::path file = dir / "state" / "zimlo" / "zimlo.log";
        configure(Settings{threshold, false, file});
        return file;
    }

    fs::path dir;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(LogTest, LevelsBelowTheThresholdAreLeftOutWithoutEvaluatingTheirArguments) {
    const fs::path file = logToFile(Level::warn);
    int evaluated = 0;
    auto costly = [&] {
        ++evaluated;
        return "value";
    };
    ZIMLO_LOG_DEBUG("test") << "debug " << costly();
    ZIMLO_LOG_INFO("test") << "info " << costly();
    ZIMLO_LOG_WARN("test") << "warn " << costly();
    ZIMLO_LOG_ERROR("test") << "error " << 42;
    EXPECT_EQ(evaluated, 1);

    const auto written = lines(file);
    ASSERT_EQ(written.size(), 2u);
    // Date, time with milliseconds, level, thread, area, message.
    const std::regex shape(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (warn|error) \[[^\]]*\] test: (.*))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(written[0], match, shape)) << written[0];
    EXPECT_EQ(match[1], "warn");
    EXPECT_EQ(match[2], "warn value");
    ASSERT_TRUE(std::regex_match(written[1], match, shape)) << written[1];
    EXPECT_EQ(match[2], "error 42");

    configure(Settings{Level::off, false, file});
    ZIMLO_LOG_ERROR("test") << "not written";
    configure(Settings{Level::debug, false, file});
    ZIMLO_LOG_DEBUG("test") << "debug now";
    const auto after = lines(file);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_NE(after[2].find("debug ["), std::string::npos);
    EXPECT_NE(after[2].find("test: debug now"), std::string::npos);
}

TEST_F(LogTest, TheEnvironmentChoosesTheLevelAndTheFileUnderTheStateFolder) {
    setenv("HOME", (dir / "home").c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    unsetenv("ZIMLO_LOG");
    unsetenv("ZIMLO_LOG_FILE");
    Settings settings = settingsFromEnvironment();
    EXPECT_EQ(settings.threshold, Level::warn);
    EXPECT_TRUE(settings.toStandardError);
    EXPECT_FALSE(settings.file);
    EXPECT_EQ(defaultFilePath(), dir / "home" / ".local" / "state" / "zimlo" / "zimlo.log");

    setenv("ZIMLO_LOG", "debug", 1);
    setenv("ZIMLO_LOG_FILE", "1", 1);
    setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    settings = settingsFromEnvironment();
    EXPECT_EQ(settings.threshold, Level::debug);
    EXPECT_EQ(settings.file, dir / "state" / "zimlo" / "zimlo.log");

    // A relative state folder is not one (XDG base directories); unknown levels keep the default.
    setenv("XDG_STATE_HOME", "relative/state", 1);
    setenv("ZIMLO_LOG", "verbose", 1);
    setenv("ZIMLO_LOG_FILE", "0", 1);
    settings = settingsFromEnvironment();
    EXPECT_EQ(settings.threshold, Level::warn);
    EXPECT_FALSE(settings.file);
    EXPECT_EQ(defaultFilePath(), dir / "home" / ".local" / "state" / "zimlo" / "zimlo.log");
    for (const char* text : {"info", "warn", "error", "off"})
        EXPECT_EQ(levelName(*parseLevel(text)), text);
}

TEST_F(LogTest, TheFileAndItsFolderAreCreatedAndAnOversizedFileIsMovedAside) {
    const fs::path file = dir / "state" / "zimlo" / "zimlo.log";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << std::string(5 * 1024 * 1024, 'x') << '\n';
    configure(Settings{Level::info, false, file});
    ZIMLO_LOG_INFO("store") << "saved";
    const auto written = lines(file);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find("info ["), std::string::npos);
    EXPECT_NE(written[0].find("store: saved"), std::string::npos);
    EXPECT_EQ(fs::file_size(file.string() + ".1"), 5u * 1024 * 1024 + 1);

    // A file that cannot be written leaves the log working on its other outputs.
    fs::path blocked = dir / "not-a-folder";
    std::ofstream(blocked) << "file";
    configure(Settings{Level::info, false, blocked / "zimlo.log"});
    ZIMLO_LOG_INFO("store") << "nowhere";
    EXPECT_FALSE(fs::exists(blocked / "zimlo.log"));
}

TEST_F(LogTest, StandardErrorGetsTheSameLines) {
    const fs::path captured = dir / "stderr.txt";
    const int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    FILE* target = std::fopen(captured.c_str(), "w");
    ASSERT_NE(target, nullptr);
    std::fflush(stderr);
    dup2(fileno(target), STDERR_FILENO);
    configure(Settings{Level::info, true, std::nullopt});
    ZIMLO_LOG_INFO("audio") << "server answered";
    ZIMLO_LOG_DEBUG("audio") << "left out";
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::fclose(target);
    const auto written = lines(captured);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find("audio: server answered"), std::string::npos);
}

// Lines written at once from many threads arrive whole and all of them, each thread's in order.
TEST_F(LogTest, ConcurrentWritersNeverMixTheirLines) {
    const fs::path file = logToFile(Level::debug);
    constexpr int kThreads = 8, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                ZIMLO_LOG_INFO("race") << "thread " << t << " line " << i << ' '
                                       << std::string(100, static_cast<char>('a' + t));
        });
    }
    // Reconfiguring meanwhile must not lose or tear lines either.
    configure(Settings{Level::debug, false, file});
    for (auto& thread : threads) thread.join();

    const auto written = lines(file);
    ASSERT_EQ(written.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex shape(R"(.* info \[[^\]]*\] race: thread (\d) line (\d+) ([a-h]{100}))");
    std::vector<int> next(kThreads, 0);
    for (const auto& line : written) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        const int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++);
        EXPECT_EQ(match[3], std::string(100, static_cast<char>('a' + t)));
    }
}

}  // namespace
}  // namespace zimlo::log
