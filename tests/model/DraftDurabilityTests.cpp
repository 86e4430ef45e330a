// A saved draft is on the disk before anyone deletes its originals, and a save killed half-way
// leaves nothing behind after the next start.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <fstream>
#include <mutex>
#include <set>
#include <utility>

#include "model/DraftStore.h"

namespace {

// What this program asked the kernel to flush, by file identity (a renamed file keeps it).
std::mutex flushedMutex;
std::set<std::pair<dev_t, ino_t>> flushed;

}  // namespace

// Every fsync of the program passes through here, for the store's code as for any other.
extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        std::lock_guard lock(flushedMutex);
        flushed.emplace(info.st_dev, info.st_ino);
    }
    return real(fd);
}

namespace zimlo {
namespace {

namespace fs = std::filesystem;

bool wasFlushed(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    std::lock_guard lock(flushedMutex);
    return flushed.count({info.st_dev, info.st_ino}) > 0;
}

class DraftDurabilityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zimlo-durable-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
        store = std::make_unique<DraftStore>(scratch / "Drafts");
    }
    void TearDown() override { fs::remove_all(scratch); }

    static fs::path write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static void age(const fs::path& path, time_t seconds) {
        const time_t then = std::time(nullptr) - seconds;
        utimbuf times{then, then};
        ::utime(path.c_str(), &times);
    }
    // A process id nobody has: a child that was killed and reaped.
    static pid_t deadProcess() {
        pid_t child = ::fork();
        if (child == 0)
            for (;;) ::pause();
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return child;
    }

    fs::path scratch;
    std::unique_ptr<DraftStore> store;
};

TEST_F(DraftDurabilityTest, ASavedDraftIsOnTheDiskWhenTheSaveReturns) {
    RecordingProject project;
    project.id = Uuid::generate();
    project.mainVideo = write(scratch / "tmp" / "zimlo_screen_1.mov", "the movie");
    project.pipVideo = write(scratch / "tmp" / "zimlo_camera_1.mov", "the camera");
    const RecordingProject saved = store->saveDraft(project).value();
    const fs::path dir = store->draftDirectory(project.id);
    EXPECT_TRUE(wasFlushed(*localFile(saved.mainVideo))) << "the copied movie";
    EXPECT_TRUE(wasFlushed(*localFile(saved.pipVideo))) << "the copied camera movie";
    EXPECT_TRUE(wasFlushed(dir / "project.json"));
    EXPECT_TRUE(wasFlushed(dir)) << "the names of the copies";
    EXPECT_TRUE(wasFlushed(store->root())) << "the new draft folder's name";
}

TEST_F(DraftDurabilityTest, WhatKilledSavesLeftIsSweptAndNothingElse) {
    const pid_t dead = deadProcess();
    const std::string tag = ".tmp-" + std::to_string(dead) + "-0";
    // A save killed in its first copy: a draft folder with nothing but the hidden partial copy.
    const fs::path killed = store->draftDirectory(Uuid::generate());
    write(killed / (".main.mov" + tag), "part of a movie");
    // A save killed while replacing the document of a draft that stays.
    RecordingProject kept;
    kept.id = Uuid::generate();
    ASSERT_TRUE(store->saveDraft(kept));
    const fs::path keptDir = store->draftDirectory(kept.id);
    write(keptDir / (".project.json" + tag), "{");
    write(keptDir / (".subtitles.srt" + tag), "1");
    // Saves of living processes (this one, and the first process) are left to finish, unless
    // their copy has not moved for hours.
    const fs::path busy = store->draftDirectory(Uuid::generate());
    write(busy / (".pip.mov.tmp-" + std::to_string(::getpid()) + "-3"), "copying");
    write(busy / ".main.mp4.tmp-1-4", "copying");
    const fs::path stuck = store->draftDirectory(Uuid::generate());
    write(stuck / ".main.mp4.tmp-1-5", "stuck");
    age(stuck / ".main.mp4.tmp-1-5", 2 * 3600);
    // Empty draft folders go once they are not brand new; other folders and files never.
    const fs::path emptyDraft = store->draftDirectory(Uuid::generate());
    fs::create_directories(emptyDraft);
    age(emptyDraft, 60);
    const fs::path fresh = store->draftDirectory(Uuid::generate());
    fs::create_directories(fresh);
    const fs::path mine = store->root() / "my folder";
    fs::create_directories(mine);
    age(mine, 60);
    std::string lower = Uuid::generate().uuidString();
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const fs::path lowerCase = store->root() / lower;
    fs::create_directories(lowerCase);
    age(lowerCase, 60);
    write(keptDir / (".main.mov.tmp-" + std::to_string(dead)), "no counter: not our name");
    write(keptDir / (".notes.txt" + tag), "not a draft's file");

    EXPECT_EQ(store->sweepInterruptedSaves(), 7u);
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_FALSE(fs::exists(keptDir / (".project.json" + tag)));
    EXPECT_FALSE(fs::exists(keptDir / (".subtitles.srt" + tag)));
    EXPECT_TRUE(store->hasDraft(kept.id));
    EXPECT_TRUE(fs::exists(busy / (".pip.mov.tmp-" + std::to_string(::getpid()) + "-3")));
    EXPECT_TRUE(fs::exists(busy / ".main.mp4.tmp-1-4"));
    EXPECT_FALSE(fs::exists(stuck));
    EXPECT_FALSE(fs::exists(emptyDraft));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(lowerCase));
    EXPECT_TRUE(fs::exists(keptDir / (".main.mov.tmp-" + std::to_string(dead))));
    EXPECT_TRUE(fs::exists(keptDir / (".notes.txt" + tag)));
}

}  // namespace
}  // namespace zimlo
