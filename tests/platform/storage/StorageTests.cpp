#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/storage/AtomicFile.h"
#include "platform/storage/BoundedFile.h"
#include "platform/storage/DocumentsDirectory.h"
#include "platform/storage/UserDefaults.h"

namespace zimlo {
namespace {

namespace fs = std::filesystem;

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

TEST_F(StorageTest, DefaultsKeepStoredTypes) {
    fs::path file = dir / "config" / "zimlo" / "defaults.json";
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.string("k"));
    EXPECT_EQ(defaults.integer("k"), 0);

    ASSERT_TRUE(defaults.setString("zimlo.mac.recording.resolution", "2880x1800"));
    ASSERT_TRUE(defaults.setInteger("zimlo.mac.recording.frameRate", 60));
    auto stored = nlohmann::json::parse(readFile(file));
    EXPECT_TRUE(stored["zimlo.mac.recording.resolution"].is_string());
    EXPECT_TRUE(stored["zimlo.mac.recording.frameRate"].is_number_integer());

    // A second instance (another process) sees the values.
    UserDefaults other(file);
    EXPECT_EQ(other.string("zimlo.mac.recording.resolution"), "2880x1800");
    EXPECT_EQ(other.integer("zimlo.mac.recording.frameRate"), 60);
    EXPECT_EQ(other.string("zimlo.mac.recording.frameRate"), "60");
    EXPECT_EQ(other.integer("zimlo.mac.recording.resolution"), 0);  // not a number

    defaults.setString("n", "24");
    EXPECT_EQ(defaults.integer("n"), 24);
    EXPECT_TRUE(defaults.remove("n"));
    EXPECT_FALSE(defaults.contains("n"));
    EXPECT_TRUE(defaults.contains("zimlo.mac.recording.frameRate"));
}

TEST_F(StorageTest, MalformedDefaultsFileIsKeptAside) {
    fs::path file = dir / "defaults.json";
    std::ofstream(file) << "{not json";
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.string("a"));
    ASSERT_TRUE(defaults.setInteger("a", 1));
    EXPECT_EQ(defaults.integer("a"), 1);
    EXPECT_EQ(readFile(dir / "defaults.json.corrupt"), "{not json");

    // An unwritable location reports failure and leaves nothing behind.
    fs::path blocked = dir / "blocked";
    std::ofstream(blocked) << "a file, not a directory";
    EXPECT_FALSE(UserDefaults(blocked / "defaults.json").setInteger("a", 1));
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

// Files named by users or found beside drafts: whole regular files up to the limit, and nothing
// that would block (a FIFO without a writer) or never end (/dev/zero, a file growing past it).
TEST_F(StorageTest, BoundedReadTakesOnlyWholeRegularFiles) {
    std::ofstream(dir / "doc.json") << "0123456789";
    auto read = readRegularFile(dir / "doc.json", 10);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, "0123456789");
    fs::create_symlink(dir / "doc.json", dir / "link.json");
    EXPECT_EQ(readRegularFile(dir / "link.json", 10).valueOr(""), "0123456789");

    auto code = [](const Result<std::string, FileError>& result) {
        return result.ok() ? std::error_code() : result.error().code;
    };
    EXPECT_EQ(code(readRegularFile(dir / "doc.json", 9)), std::errc::file_too_large);
    EXPECT_EQ(code(readRegularFile(dir / "missing.json", 10)),
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(code(readRegularFile(dir, 10)), std::errc::is_a_directory);
    ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
    EXPECT_EQ(code(readRegularFile(dir / "fifo.json", 1 << 20)), std::errc::invalid_argument);
    EXPECT_EQ(code(readRegularFile("/dev/zero", 1 << 20)), std::errc::invalid_argument);
    // /proc files claim no size and still hold text: read up to the limit, refused beyond it.
    EXPECT_TRUE(readRegularFile("/proc/self/status", 1 << 20).ok());
    EXPECT_EQ(code(readRegularFile("/proc/self/status", 16)), std::errc::file_too_large);
}

TEST_F(StorageTest, StandardLocations) {
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "cfg").c_str(), 1);
    EXPECT_EQ(UserDefaults::standardPath(), dir / "cfg" / "zimlo" / "defaults.json");
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
    EXPECT_EQ(UserDefaults::standardPath(), dir / "home" / ".config" / "zimlo" / "defaults.json");
}

}  // namespace
}  // namespace zimlo
