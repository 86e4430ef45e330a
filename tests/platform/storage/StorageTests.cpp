#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/storage/AtomicFile.h"
#include "platform/storage/BoundedFile.h"
#include "platform/storage/DocumentsDirectory.h"
#include "platform/storage/SettingsFile.h"

namespace zimlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zimlo-storage-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        saveEnv("HOME");
        saveEnv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        for (const auto& [name, value] : savedEnv) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        fs::remove_all(dir);
    }
    void saveEnv(const char* name) {
        const char* value = std::getenv(name);
        savedEnv.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        return buffer.str();
    }

    fs::path dir;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv;
};

// Runs `work` on a thread of its own and says whether it ended within `limit`. When it did not,
// `fifo` is opened for writing and closed again, which ends a reader stuck opening it, so that
// the test can go on to report the failure.
template <typename Work>
bool endsWithin(std::chrono::seconds limit, Work work, const fs::path& fifo = {}) {
    auto done = std::async(std::launch::async, std::move(work));
    if (done.wait_for(limit) == std::future_status::ready) return true;
    if (!fifo.empty()) {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    done.wait();
    return false;
}

// Files that must not be read whole or at all: nothing waits, nothing grows without bound.
TEST_F(StorageTest, BoundedReadsTakeOnlyRegularFilesWithinTheirSize) {
    const fs::path file = dir / "doc.json";
    std::ofstream(file) << "0123456789";
    auto read = readRegularFile(file, 10);
    ASSERT_TRUE(read) << read.error().text();
    EXPECT_EQ(*read, "0123456789");
    EXPECT_EQ(readRegularFile(file, 9).error().code, std::errc::file_too_large);
    EXPECT_EQ(readRegularFile(dir / "missing", 10).error().code,
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(readRegularFile(dir, 10).error().code, std::errc::is_a_directory);
    EXPECT_EQ(readRegularFile("/dev/zero", 1 << 20).error().code, std::errc::invalid_argument);

    const fs::path fifo = dir / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::optional<Result<std::string, FileError>> fromFifo;
    ASSERT_TRUE(endsWithin(
        5s, [&] { fromFifo = readRegularFile(fifo, 10); }, fifo));
    EXPECT_EQ(fromFifo->error().code, std::errc::invalid_argument);
    EXPECT_NE(fromFifo->error().text().find(fifo.string()), std::string::npos);

    fs::create_symlink(file, dir / "link.json");
    EXPECT_TRUE(openRegularFile(dir / "link.json"));
    EXPECT_EQ(openRegularFile(dir / "link.json", /*noFollow=*/true).error().code,
              std::errc::too_many_symbolic_link_levels);
    // /proc files claim no size and still hold text: read up to the limit, refused beyond it.
    EXPECT_TRUE(readRegularFile("/proc/self/status", 1 << 20));
    EXPECT_EQ(readRegularFile("/proc/self/status", 16).error().code, std::errc::file_too_large);
}

TEST_F(StorageTest, DefaultsKeepStoredTypes) {
    fs::path file = dir / "config" / "zimlo" / "defaults.json";
    SettingsFile defaults(file);
    EXPECT_FALSE(defaults.string("k"));
    EXPECT_EQ(defaults.integer("k"), 0);

    ASSERT_TRUE(defaults.setString("zimlo.mac.recording.resolution", "2880x1800"));
    ASSERT_TRUE(defaults.setInteger("zimlo.mac.recording.frameRate", 60));
    auto stored = nlohmann::json::parse(readFile(file));
    EXPECT_TRUE(stored["zimlo.mac.recording.resolution"].is_string());
    EXPECT_TRUE(stored["zimlo.mac.recording.frameRate"].is_number_integer());

    // A second instance (another process) sees the values.
    SettingsFile other(file);
    EXPECT_EQ(other.string("zimlo.mac.recording.resolution"), "2880x1800");
    EXPECT_EQ(other.integer("zimlo.mac.recording.frameRate"), 60);
    EXPECT_EQ(other.string("zimlo.mac.recording.frameRate"), "60");
    EXPECT_EQ(other.integer("zimlo.mac.recording.resolution"), 0);  // not a number

    ASSERT_TRUE(defaults.setString("n", "24"));
    EXPECT_EQ(defaults.integer("n"), 24);
    EXPECT_TRUE(defaults.remove("n"));
    EXPECT_FALSE(defaults.contains("n"));
    EXPECT_TRUE(defaults.contains("zimlo.mac.recording.frameRate"));
}

TEST_F(StorageTest, MalformedDefaultsFileIsKeptAside) {
    fs::path file = dir / "defaults.json";
    std::ofstream(file) << "{not json";
    SettingsFile defaults(file);
    EXPECT_FALSE(defaults.string("a"));
    ASSERT_TRUE(defaults.setInteger("a", 1));
    EXPECT_EQ(defaults.integer("a"), 1);
    EXPECT_EQ(readFile(dir / "defaults.json.corrupt"), "{not json");

    // An unwritable location says why and changes nothing.
    fs::path blocked = dir / "blocked";
    std::ofstream(blocked) << "a file, not a directory";
    SettingsFile unwritable(blocked / "defaults.json");
    auto written = unwritable.setInteger("a", 1);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, std::errc::not_a_directory);
    EXPECT_FALSE(unwritable.contains("a"));
}

// Whatever sits at the settings path, the settings read as empty (the defaults apply) at once,
// the reason is given once, and the next write keeps the bad file aside and starts afresh.
TEST_F(StorageTest, UnusableSettingsFilesGiveTheDefaultsAndAreSaidOnce) {
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> make;
    };
    const std::vector<Case> cases{
        {"deeply nested",
         [](const fs::path& f) {
             std::string text;
             for (int i = 0; i < 100'000; ++i) text += "{\"a\":";
             text += "1" + std::string(100'000, '}');
             std::ofstream(f) << text;
         }},
        {"a FIFO", [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0); }},
        {"larger than any settings file",
         [](const fs::path& f) {
             std::ofstream(f) << "{\"a\": \"" << std::string(2 << 20, 'x') << "\"}";
         }},
        {"a million keys",
         [](const fs::path& f) {
             std::ofstream out(f);
             out << "{";
             for (int i = 0; i < 80'000; ++i) out << (i ? "," : "") << "\"k" << i << "\":1";
             out << "}";
         }},
        {"not an object", [](const fs::path& f) { std::ofstream(f) << "[1, 2]"; }},
        {"a folder", [](const fs::path& f) { fs::create_directory(f); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = dir / std::to_string(&c - cases.data());
        fs::create_directories(folder);
        const fs::path file = folder / "defaults.json";
        c.make(file);
        SettingsFile defaults(file);
        std::optional<std::string> value = "unread";
        ASSERT_TRUE(endsWithin(
            10s, [&] { value = defaults.string("a"); }, file));
        EXPECT_FALSE(value);
        EXPECT_EQ(defaults.integer("zimlo.mac.recording.frameRate"), 0);
        auto reason = defaults.takeRejection();
        ASSERT_TRUE(reason);
        EXPECT_FALSE(reason->empty());
        EXPECT_FALSE(defaults.takeRejection());  // said once

        ASSERT_TRUE(defaults.setInteger("zimlo.mac.recording.frameRate", 60));
        EXPECT_EQ(defaults.integer("zimlo.mac.recording.frameRate"), 60);
        EXPECT_TRUE(fs::exists(fs::symlink_status(folder / "defaults.json.corrupt")));
        EXPECT_EQ(nlohmann::json::parse(readFile(file)),
                  nlohmann::json({{"zimlo.mac.recording.frameRate", 60}}));
        EXPECT_FALSE(defaults.takeRejection());
    }
}

// The file is read once, not at every call; a change another process makes is still seen.
TEST_F(StorageTest, SettingsAreReadOnceAndChangesFromOutsideAreSeen) {
    const fs::path file = dir / "defaults.json";
    std::ofstream(file) << R"({"zimlo.mac.recording.resolution": "720p", "n": 3})";
    SettingsFile defaults(file);
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    // Closes too: the kernel merges an event into an identical one still unread.
    ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_OPEN | IN_CLOSE_NOWRITE), 0);
    auto opensOfTheFile = [&] {
        int opens = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; (got = ::read(watch, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + got;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                if ((event->mask & IN_OPEN) && event->len &&
                    std::string(event->name) == "defaults.json")
                    ++opens;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return opens;
    };
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(defaults.string("zimlo.mac.recording.resolution"), "720p");
        EXPECT_EQ(defaults.integer("n"), 3);
        EXPECT_TRUE(defaults.contains("n"));
    }
    EXPECT_EQ(opensOfTheFile(), 1);

    // Another process replaces the file, as every write does.
    ASSERT_TRUE(writeFileAtomically(file, R"({"zimlo.mac.recording.resolution": "4K"})"));
    opensOfTheFile();
    EXPECT_EQ(defaults.string("zimlo.mac.recording.resolution"), "4K");
    EXPECT_FALSE(defaults.contains("n"));
    EXPECT_EQ(opensOfTheFile(), 1);
    ::close(watch);
}

TEST_F(StorageTest, AtomicWriteReplacesWholeFile) {
    fs::path file = dir / "doc.json";
    ASSERT_TRUE(writeFileAtomically(file, "first"));
    ASSERT_TRUE(writeFileAtomically(file, "second"));
    EXPECT_EQ(readFile(file), "second");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"doc.json"});  // no temporary left
    auto missing = writeFileAtomically(dir / "missing" / "doc.json", "x");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, std::errc::no_such_file_or_directory);
    fs::create_directory(dir / "adir");
    auto overDirectory = writeFileAtomically(dir / "adir", "x");  // rename fails
    ASSERT_FALSE(overDirectory);
    EXPECT_EQ(overDirectory.error().operation, "cannot replace file");
    EXPECT_EQ(overDirectory.error().path, dir / "adir");
    EXPECT_TRUE(fs::is_directory(dir / "adir"));
}

TEST_F(StorageTest, StandardLocations) {
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "cfg").c_str(), 1);
    EXPECT_EQ(SettingsFile::standardPath(), dir / "cfg" / "zimlo" / "defaults.json");
    EXPECT_EQ(documentsDirectory(), dir / "home" / "Documents");  // no user-dirs.dirs

    fs::create_directories(dir / "cfg");
    std::ofstream(dir / "cfg" / "user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                  << "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                  << "XDG_DOCUMENTS_DIR=\"$HOME/文档 files\"\n";
    EXPECT_EQ(documentsDirectory(), dir / "home" / "文档 files");
    std::ofstream(dir / "cfg" / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n";
    EXPECT_EQ(documentsDirectory(), fs::path("/srv/docs"));

    setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // ignored: must be absolute
    EXPECT_EQ(configDirectory(), dir / "home" / ".config");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsFile::standardPath(), dir / "home" / ".config" / "zimlo" / "defaults.json");
}

}  // namespace
}  // namespace zimlo
