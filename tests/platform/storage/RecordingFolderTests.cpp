// Folders recordings are made in: held by their process until it ends however it ends, found
// by the next start only then.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "platform/storage/RecordingFolder.h"

namespace zimlo {
namespace {

namespace fs = std::filesystem;

class RecordingFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zimlo-folders-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = fs::path(pattern) / "recordings";
    }
    void TearDown() override { fs::remove_all(root.parent_path()); }

    static void write(const fs::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }
    std::vector<fs::path> entries() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(root)) found.push_back(entry.path());
        return found;
    }

    fs::path root;
};

// A child process makes a folder and journals into it, then is killed with SIGKILL: while it
// lives nobody else can take the folder, afterwards the next start does, with the journal's
// whole records.
TEST_F(RecordingFolderTest, AFolderIsHeldUntilItsProcessIsKilledAndThenAdopted) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto folder = RecordingFolder::create(root);
        if (!folder) ::_exit(1);
        (void)(*folder)->appendToJournal("{\"first\":1}");
        (void)(*folder)->appendToJournal("{\"second\":2}");
        write((*folder)->path() / "zimlo_screen_1.mov", "movie");
        const std::string path = (*folder)->path().string() + "\n";
        (void)!::write(ready[1], path.data(), path.size());
        for (;;) ::pause();
    }
    ::close(ready[1]);
    std::string path;
    char c;
    while (::read(ready[0], &c, 1) == 1 && c != '\n') path.push_back(c);
    ::close(ready[0]);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(fs::path(path).parent_path(), root);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_all);
    // A crash in the middle of a record leaves it without its line break.
    { std::ofstream(fs::path(path) / RecordingFolder::kJournalName, std::ios::app) << "{\"cut"; }

    EXPECT_TRUE(RecordingFolder::adoptAbandoned(root).empty()) << "the living owner holds it";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    auto adopted = RecordingFolder::adoptAbandoned(root);
    ASSERT_EQ(adopted.size(), 1u);
    EXPECT_EQ(adopted[0]->path(), fs::path(path));
    EXPECT_EQ(adopted[0]->journal(), (std::vector<std::string>{"{\"first\":1}", "{\"second\":2}"}));
    // Held by us now: a second look (another start) does not take it too.
    EXPECT_TRUE(RecordingFolder::adoptAbandoned(root).empty());
    adopted.clear();
    EXPECT_EQ(RecordingFolder::adoptAbandoned(root).size(), 1u) << "let go again";
}

// Within one process too, a folder in use is never adopted; handing it over or removing it
// decides what is left of it.
TEST_F(RecordingFolderTest, FoldersInUseHandedOverOrRemovedAreLeftAlone) {
    auto inUse = RecordingFolder::create(root).value();
    auto handed = RecordingFolder::create(root).value();
    auto removed = RecordingFolder::create(root).value();
    EXPECT_NE(inUse->path(), handed->path());
    EXPECT_TRUE(RecordingFolder::adoptAbandoned(root).empty());

    // Handed over: the movie stays for whoever got its path; nothing watches the folder, and it
    // goes once it is empty.
    write(handed->path() / "zimlo_screen_2.mov", "movie");
    ASSERT_TRUE(handed->appendToJournal("{}"));
    handed->handOver();
    EXPECT_FALSE(fs::exists(handed->path() / RecordingFolder::kLockName));
    EXPECT_FALSE(fs::exists(handed->path() / RecordingFolder::kJournalName));
    handed.reset();
    EXPECT_TRUE(RecordingFolder::adoptAbandoned(root).empty());
    for (const auto& entry : entries())
        if (fs::exists(entry / "zimlo_screen_2.mov")) fs::remove(entry / "zimlo_screen_2.mov");
    EXPECT_TRUE(RecordingFolder::adoptAbandoned(root).empty());
    EXPECT_EQ(entries().size(), 2u) << "the emptied folder is swept";

    // Removed: Zimlo's files go, and the folder with them; something else keeps the folder.
    write(removed->path() / "zimlo_screen_3.mov", "movie");
    write(removed->path() / "zimlo_export_3.mp4", "export");
    ASSERT_TRUE(removed->noteDraft("ID"));
    EXPECT_EQ(removed->notedDraft(), "ID");
    const fs::path removedPath = removed->path();
    ASSERT_TRUE(removed->remove());
    EXPECT_FALSE(fs::exists(removedPath));

    write(inUse->path() / "zimlo_camera_4.mov", "camera");
    write(inUse->path() / "notes.txt", "the user's");
    EXPECT_FALSE(inUse->remove());
    EXPECT_EQ(entries(), (std::vector<fs::path>{inUse->path()}));
    EXPECT_FALSE(fs::exists(inUse->path() / "zimlo_camera_4.mov"));
    EXPECT_TRUE(fs::exists(inUse->path() / "notes.txt"));
}

// A maker that died between making its hidden folder and naming it leaves a folder nobody can
// see as a recording; the next look clears it, and never a user's own hidden folder.
TEST_F(RecordingFolderTest, HalfMadeFoldersAreCleared) {
    fs::create_directories(root / ".new-abcdef");
    write(root / ".new-abcdef" / RecordingFolder::kLockName, "");
    fs::create_directories(root / ".new-ghijkl");  // being made right now
    const time_t then = std::time(nullptr) - 120;
    utimbuf times{then, then};
    ::utime((root / ".new-abcdef").c_str(), &times);
    fs::create_directories(root / ".mine");
    write(root / ".mine" / "file", "kept");
    write(root / "stray.txt", "kept");
    EXPECT_TRUE(RecordingFolder::adoptAbandoned(root).empty());
    EXPECT_FALSE(fs::exists(root / ".new-abcdef"));
    EXPECT_TRUE(fs::exists(root / ".new-ghijkl"));
    EXPECT_TRUE(fs::exists(root / ".mine" / "file"));
    EXPECT_TRUE(fs::exists(root / "stray.txt"));
}

TEST_F(RecordingFolderTest, AFolderThatCannotBeMadeSaysWhy) {
    fs::create_directories(root.parent_path());
    write(root, "a file where the folder should be");
    auto made = RecordingFolder::create(root);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().path, root);
    EXPECT_TRUE(made.error().code);
}

}  // namespace
}  // namespace zimlo
