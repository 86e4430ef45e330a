#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>

#include "model/DraftStore.h"
#include "support/ResultValue.h"

namespace zimlo {
namespace {

namespace fs = std::filesystem;

class DraftStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zimlo-drafts-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
        store = std::make_unique<DraftStore>(scratch / "Docs" / "Drafts");
    }
    void TearDown() override { fs::remove_all(scratch); }

    fs::path writeFile(const fs::path& path, const std::string& contents) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
    static std::string readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        return buffer.str();
    }
    static std::vector<std::string> names(const fs::path& dir) {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(dir))
            result.push_back(entry.path().filename());
        std::sort(result.begin(), result.end());
        return result;
    }
    RecordingProject project(double createdAt, std::optional<std::string> asset = std::nullopt) {
        RecordingProject p;
        p.id = Uuid::generate();
        p.createdAt = Date{createdAt};
        p.duration = 4;
        p.sourceAssetIdentifier = asset;
        return p;
    }
    // Writes a draft directory by hand, as an earlier save would have.
    fs::path plantDraft(const RecordingProject& p, const std::vector<std::string>& media) {
        fs::path dir = store->draftDirectory(p.id);
        writeFile(dir / "project.json", zimlo::test::valueOrFailure(p.toJSON()));
        for (const auto& name : media) writeFile(dir / name, name);
        return dir;
    }

    fs::path scratch;
    std::unique_ptr<DraftStore> store;
};

TEST_F(DraftStoreTest, SaveCopiesMoviesAndWritesTheDocument) {
    EXPECT_TRUE(fs::is_directory(store->root()));  // created on construction
    fs::path source = writeFile(scratch / "tmp" / "screen.mp4", "movie");
    RecordingProject p = project(100);
    p.mainVideo = source;

    RecordingProject saved = store->saveDraft(p).value();
    fs::path dir = store->draftDirectory(p.id);
    EXPECT_EQ(dir, store->root() / p.id.uuidString());
    EXPECT_TRUE(saved.isDraft);
    EXPECT_EQ(saved.mainVideo, dir / "main.mp4");
    EXPECT_FALSE(saved.pipVideo);
    EXPECT_EQ(names(dir), (std::vector<std::string>{"main.mp4", "project.json"}));
    EXPECT_EQ(readFile(dir / "main.mp4"), "movie");
    EXPECT_EQ(readFile(source), "movie");  // the source stays
    EXPECT_EQ(RecordingProject::fromJSON(readFile(dir / "project.json")), saved);

    // Saving the stored project again copies nothing and rewrites the document.
    saved.duration = 9;
    RecordingProject again = store->saveDraft(saved).value();
    EXPECT_EQ(again.mainVideo, dir / "main.mp4");
    EXPECT_EQ(readFile(dir / "main.mp4"), "movie");
    EXPECT_EQ(RecordingProject::fromJSON(readFile(dir / "project.json")).duration, 9);
    EXPECT_EQ(names(dir), (std::vector<std::string>{"main.mp4", "project.json"}));  // no leftovers
}

// Movies the caller gives up are taken as they are (a second name for the same file, however
// long the movie); others are copied. Either way the source stays until the caller deletes it.
TEST_F(DraftStoreTest, SurrenderedMoviesAreTakenAsTheyAreOthersCopied) {
    const fs::path main = writeFile(scratch / "tmp" / "zimlo_export_1.mp4", "composed movie");
    const fs::path camera = writeFile(scratch / "tmp" / "zimlo_camera_1.mov", "camera movie");
    RecordingProject p = project(1);
    p.mainVideo = main;
    p.pipVideo = camera;
    auto saved = store->saveDraft(p, {main});
    ASSERT_TRUE(saved) << saved.error().message;
    auto inode = [](const fs::path& file) {
        struct stat info {};
        EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
        return info.st_ino;
    };
    EXPECT_EQ(inode(*localFile(saved->mainVideo)), inode(main));
    EXPECT_NE(inode(*localFile(saved->pipVideo)), inode(camera));
    EXPECT_EQ(readFile(*localFile(saved->mainVideo)), "composed movie");
    EXPECT_EQ(readFile(*localFile(saved->pipVideo)), "camera movie");
    // The caller's clean-up leaves the draft whole.
    fs::remove(main);
    fs::remove(camera);
    EXPECT_EQ(readFile(*localFile(saved->mainVideo)), "composed movie");
    EXPECT_EQ(names(store->draftDirectory(p.id)),
              (std::vector<std::string>{"main.mp4", "pip.mov", "project.json"}));
}

TEST_F(DraftStoreTest, SaveNamesAndReplacesMedia) {
    RecordingProject p = project(100);
    p.mainVideo = writeFile(scratch / "tmp" / "screen", "no extension");
    p.pipVideo = writeFile(scratch / "tmp" / "camera 相机.mov", "camera");
    fs::path dir = localFile(store->saveDraft(p)->mainVideo)->parent_path();
    EXPECT_EQ(names(dir), (std::vector<std::string>{"main.mov", "pip.mov", "project.json"}));

    // An mp4 main movie replaces the earlier main.mov; the camera copy stays.
    p.mainVideo = writeFile(scratch / "tmp" / "composed.mp4", "composed");
    p.pipVideo.reset();
    ASSERT_TRUE(store->saveDraft(p));
    EXPECT_EQ(names(dir), (std::vector<std::string>{"main.mp4", "pip.mov", "project.json"}));

    // A failed copy leaves the earlier movie and document in place.
    std::string before = readFile(dir / "project.json");
    p.mainVideo = scratch / "tmp" / "missing.mov";
    auto missing = store->saveDraft(p);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, std::errc::no_such_file_or_directory);
    EXPECT_EQ(missing.error().path, p.mainVideo);
    EXPECT_EQ(names(dir), (std::vector<std::string>{"main.mp4", "pip.mov", "project.json"}));
    EXPECT_EQ(readFile(dir / "project.json"), before);

    // Leftovers of an interrupted copy are cleared by the next save of that movie.
    writeFile(dir / ".main.mp4.tmp-1-1", "partial");
    p.mainVideo = writeFile(scratch / "tmp" / "again.mp4", "again");
    ASSERT_TRUE(store->saveDraft(p));
    EXPECT_EQ(names(dir), (std::vector<std::string>{"main.mp4", "pip.mov", "project.json"}));

    // An unencodable project fails before anything is written.
    RecordingProject bad = project(1);
    bad.mainVideo = scratch / "tmp" / "composed.mp4";
    bad.duration = std::nan("");
    auto unencodable = store->saveDraft(bad);
    ASSERT_FALSE(unencodable);
    EXPECT_FALSE(unencodable.error().code);
    EXPECT_FALSE(unencodable.error().message.empty());
    EXPECT_FALSE(fs::exists(store->draftDirectory(bad.id)));
}

TEST_F(DraftStoreTest, ListingLocatesMediaAndSkipsUnreadableDrafts) {
    RecordingProject both = project(10), webm = project(20), none = project(30);
    both.mainVideo = std::filesystem::path("/elsewhere/stale.mov");  // stored paths are not trusted
    fs::path bothDir = plantDraft(both, {"main.mov", "main.mp4", "pip.m4v"});
    fs::path webmDir = plantDraft(webm, {"main.webm", "notes.txt"});
    plantDraft(none, {});
    writeFile(store->root() / "stray.txt", "x");
    fs::create_directories(store->root() / "empty");
    writeFile(store->root() / "broken" / "project.json", "{\"id\":");
    writeFile(store->root() / "undecodable" / "project.json", "{\"id\":\"x\"}");

    auto drafts = store->loadDrafts();
    ASSERT_EQ(drafts.size(), 3u);
    EXPECT_EQ(drafts[0].id, none.id);  // newest first
    EXPECT_FALSE(drafts[0].mainVideo);
    EXPECT_EQ(drafts[1].id, webm.id);
    EXPECT_EQ(drafts[1].mainVideo, webmDir / "main.webm");
    EXPECT_EQ(drafts[2].id, both.id);
    EXPECT_EQ(drafts[2].mainVideo, bothDir / "main.mp4");
    EXPECT_EQ(drafts[2].pipVideo, bothDir / "pip.m4v");

    EXPECT_TRUE(DraftStore(scratch / "no" / "such" / "root").loadDrafts().size() == 0);
}

// A document naming its movie relatively ("main.mov") is listed with the movie in its folder; a
// camera movie named by a URL that is no local file stays that URL.
TEST_F(DraftStoreTest, ListingReadsRelativeMovieNames) {
    RecordingProject p = project(10);
    fs::path dir = store->draftDirectory(p.id);
    std::string document = zimlo::test::valueOrFailure(p.toJSON());
    document.insert(document.find(R"("duration")"),
                    R"("mainVideoURL":"main.mov","pipVideoURL":"https://example.com/pip.mov",)");
    writeFile(dir / "project.json", document);
    writeFile(dir / "main.mov", "movie");

    auto drafts = store->loadDrafts();
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_EQ(drafts[0].id, p.id);
    EXPECT_EQ(drafts[0].mainVideo, dir / "main.mov");
    EXPECT_EQ(drafts[0].pipVideo, MovieURL::remote("https://example.com/pip.mov"));
}

// A movie URL that names no file here is neither copied nor looked for: the saved document keeps
// it as it was, and nothing of that name appears in the draft or beside the program.
TEST_F(DraftStoreTest, SavingKeepsARemoteMovieURLWithoutTouchingIt) {
    RecordingProject p = project(10);
    p.mainVideo = writeFile(scratch / "tmp" / "screen.mov", "movie");
    p.pipVideo = MovieURL::remote("https://example.com/pip.mov");
    auto saved = store->saveDraft(p);
    ASSERT_TRUE(saved.ok());
    const fs::path dir = store->draftDirectory(p.id);
    EXPECT_EQ(saved->pipVideo, p.pipVideo);
    EXPECT_EQ(names(dir), (std::vector<std::string>{"main.mov", "project.json"}));
    EXPECT_FALSE(fs::exists("https:"));
    EXPECT_EQ(RecordingProject::fromJSON(readFile(dir / "project.json")).pipVideo, p.pipVideo);
    ASSERT_EQ(store->loadDrafts().size(), 1u);
    EXPECT_EQ(store->loadDrafts()[0].pipVideo, p.pipVideo);
    EXPECT_TRUE(store->deleteDraft(p.id).ok());
    EXPECT_FALSE(fs::exists(dir));
}

TEST_F(DraftStoreTest, ListingKeepsOneDraftPerAsset) {
    RecordingProject older = project(10, "asset"), newer = project(20, "asset");
    RecordingProject emptyA = project(5, ""), emptyB = project(6, ""), plain = project(1);
    for (const auto* p : {&older, &newer, &emptyA, &emptyB, &plain}) plantDraft(*p, {});
    auto drafts = store->loadDrafts();
    std::vector<Uuid> ids;
    for (const auto& d : drafts) ids.push_back(d.id);
    EXPECT_EQ(ids, (std::vector<Uuid>{newer.id, emptyB.id, emptyA.id, plain.id}));
    EXPECT_TRUE(fs::exists(store->draftDirectory(older.id)));  // hidden, not deleted
}

TEST_F(DraftStoreTest, LargeListingIsSortedAndComplete) {
    std::vector<RecordingProject> planted;
    for (int i = 0; i < 300; ++i) {
        planted.push_back(project((i * 7919) % 300,
                                  i % 50 == 0 ? std::optional<std::string>("a") : std::nullopt));
        plantDraft(planted.back(), {i % 2 ? "main.mov" : "main.mp4"});
    }
    auto drafts = store->loadDrafts();
    ASSERT_EQ(drafts.size(), 300u - 5u);  // six share one asset; the newest stays
    for (size_t i = 1; i < drafts.size(); ++i)
        ASSERT_GT(drafts[i - 1].createdAt, drafts[i].createdAt);
    for (const auto& draft : drafts) ASSERT_TRUE(draft.mainVideo);
}

TEST_F(DraftStoreTest, Delete) {
    RecordingProject p = project(1);
    fs::path dir = plantDraft(p, {"main.mov"});
    EXPECT_TRUE(store->deleteDraft(p.id));
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(store->deleteDraft(p.id));
    EXPECT_TRUE(store->deleteDraft(Uuid::generate()));
    EXPECT_TRUE(store->loadDrafts().empty());
}

// A draft is the folder it was listed from, whatever id its document carries.
TEST_F(DraftStoreTest, DeletingRemovesTheListedFolderOnly) {
    RecordingProject original = project(1);
    fs::path originalDir = plantDraft(original, {"main.mov"});
    // A copied folder: another name, the same document.
    fs::path copyDir = store->root() / Uuid::generate().uuidString();
    fs::copy(originalDir, copyDir, fs::copy_options::recursive);
    // A folder named with the document's id in lower case.
    RecordingProject lower = project(2);
    std::string lowerName = lower.id.uuidString();
    for (char& c : lowerName) c = static_cast<char>(std::tolower(c));
    fs::path lowerDir = writeFile(store->root() / lowerName / "project.json",
                                  zimlo::test::valueOrFailure(lower.toJSON()))
                            .parent_path();

    auto listed = store->listDrafts();
    ASSERT_EQ(listed.size(), 3u);
    auto find = [&](const fs::path& dir) {
        for (const auto& draft : listed)
            if (draft.directory == dir) return draft;
        ADD_FAILURE() << "not listed: " << dir;
        return ListedDraft{};
    };
    EXPECT_EQ(find(copyDir).project.id, original.id);
    EXPECT_EQ(find(copyDir).project.mainVideo, copyDir / "main.mov");

    EXPECT_TRUE(store->deleteDraft(find(copyDir)));
    EXPECT_FALSE(fs::exists(copyDir));
    EXPECT_TRUE(fs::exists(originalDir / "main.mov"));
    EXPECT_TRUE(store->deleteDraft(find(lowerDir)));
    EXPECT_FALSE(fs::exists(lowerDir));
    EXPECT_EQ(store->listDrafts(), std::vector<ListedDraft>{find(originalDir)});

    // Only the store's own folders: nothing outside the root is removed through a listing.
    fs::path outside = writeFile(scratch / "elsewhere" / "project.json",
                                 zimlo::test::valueOrFailure(original.toJSON()));
    for (const fs::path& notOurs : {outside.parent_path(), store->root() / ".."}) {
        auto refused = store->deleteDraft(ListedDraft{original, notOurs});
        ASSERT_FALSE(refused) << notOurs;
        EXPECT_EQ(refused.error(),
                  (DraftDeletionError{notOurs, std::make_error_code(std::errc::invalid_argument)}));
    }
    EXPECT_TRUE(fs::exists(outside));
}

// Root reads and removes everything; without these capabilities the calling thread obeys the
// permission bits like any user.
class WithoutFilePermissionOverride {
  public:
    WithoutFilePermissionOverride() {
        if (::geteuid() != 0) return;
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutFilePermissionOverride() {
        if (dropped_) ::syscall(SYS_capset, &header_, saved_);
    }
    bool effective() const { return ::geteuid() != 0 || dropped_; }

  private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};

TEST_F(DraftStoreTest, ADraftThatCannotBeRemovedWholeIsLeftWholeWithAClearError) {
    RecordingProject p = project(1);
    fs::path dir = plantDraft(p, {"main.mov"});
    fs::path outside = writeFile(scratch / "outside" / "keep.txt", "keep");
    fs::create_symlink(outside.parent_path(), dir / "link");  // removed as a link only
    writeFile(dir / "cache" / "piece", "x");
    ::chmod((dir / "cache").c_str(), 0);
    {
        WithoutFilePermissionOverride restricted;
        if (!restricted.effective()) {
            ::chmod((dir / "cache").c_str(), 0755);
            GTEST_SKIP() << "cannot drop the file permission capabilities";
        }
        auto refused = store->deleteDraft(store->listDrafts().at(0));
        if (!refused) {
            EXPECT_EQ(refused.error().code, std::errc::permission_denied);
            EXPECT_EQ(refused.error().path, dir / "cache");
        } else {
            ADD_FAILURE() << "an unreadable folder was not reported";
        }
    }
    EXPECT_TRUE(fs::exists(dir / "project.json"));  // checked before anything was removed
    EXPECT_TRUE(fs::exists(dir / "main.mov"));
    ::chmod((dir / "cache").c_str(), 0755);

    // Another file system mounted inside a draft is not the draft's to remove.
    fs::path mounted = dir / "cache";
    if (::mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=64k") == 0) {
        writeFile(mounted / "theirs", "theirs");
        auto refused = store->deleteDraft(store->listDrafts().at(0));
        EXPECT_FALSE(refused);
        if (!refused) {
            EXPECT_EQ(refused.error().code, std::errc::cross_device_link);
        }
        EXPECT_TRUE(fs::exists(mounted / "theirs"));
        EXPECT_TRUE(fs::exists(dir / "main.mov"));
        ::umount(mounted.c_str());
    }
    EXPECT_TRUE(store->deleteDraft(store->listDrafts().at(0)));
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(readFile(outside), "keep");
}

// A save that fails leaves no trace of a new draft, and a full disk says so.
TEST_F(DraftStoreTest, FailedSaveRemovesTheNewFolderAndNamesAFullDisk) {
    RecordingProject p = project(1);
    p.mainVideo = scratch / "tmp" / "missing.mov";
    EXPECT_FALSE(store->saveDraft(p));
    EXPECT_FALSE(fs::exists(store->draftDirectory(p.id)));

    fs::path small = scratch / "small";
    fs::create_directories(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    {
        DraftStore tiny(small / "Drafts");
        p.mainVideo = writeFile(scratch / "tmp" / "big.mov", std::string(3 << 20, 'x'));
        auto full = tiny.saveDraft(p);
        ASSERT_FALSE(full) << "a full disk was not reported";
        EXPECT_EQ(full.error().code, std::errc::no_space_on_device) << full.error().message;
        EXPECT_FALSE(fs::exists(tiny.draftDirectory(p.id)));
        // An earlier draft survives a failed save over it.
        p.mainVideo = writeFile(scratch / "tmp" / "small.mov", "small");
        fs::path dir = localFile(tiny.saveDraft(p)->mainVideo)->parent_path();
        p.mainVideo = scratch / "tmp" / "big.mov";
        EXPECT_FALSE(tiny.saveDraft(p));
        EXPECT_EQ(readFile(dir / "main.mov"), "small");
    }
    ::umount(small.c_str());
}

// A hostile document in the drafts folder costs the listing milliseconds and hides nothing else.
// The gallery reads the movies it lists: only regular files, and links only to files inside the
// draft, so a FIFO would not hold the reader and a link would not make it read what it names.
TEST_F(DraftStoreTest, ListingOffersOnlyRegularMoviesInsideTheDraft) {
    RecordingProject fifo = project(1), outside = project(2), inside = project(3),
                     folder = project(4);
    fs::path fifoDir = plantDraft(fifo, {"main.mov"});
    ASSERT_EQ(::mkfifo((fifoDir / "main.mp4").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((fifoDir / "pip.mp4").c_str(), 0644), 0);
    fs::path secret = writeFile(scratch / "secret" / "shadow", "not a movie");
    fs::path outsideDir = plantDraft(outside, {});
    fs::create_symlink(secret, outsideDir / "main.mp4");
    fs::create_symlink("../../../secret/shadow", outsideDir / "pip.mov");
    fs::path insideDir = plantDraft(inside, {"takes/first.mp4"});
    fs::create_symlink("takes/first.mp4", insideDir / "main.mp4");
    fs::path folderDir = plantDraft(folder, {"main.mp4/inner"});

    auto drafts = store->loadDrafts();
    ASSERT_EQ(drafts.size(), 4u);
    EXPECT_EQ(drafts[3].mainVideo, fifoDir / "main.mov");
    EXPECT_FALSE(drafts[3].pipVideo);
    EXPECT_FALSE(drafts[2].mainVideo);
    EXPECT_FALSE(drafts[2].pipVideo);
    EXPECT_EQ(drafts[1].mainVideo, insideDir / "main.mp4");
    EXPECT_FALSE(drafts[0].mainVideo);
}

TEST_F(DraftStoreTest, HostileDocumentsAreSkippedQuickly) {
    RecordingProject good = project(1);
    plantDraft(good, {});
    writeFile(store->root() / "deep" / "project.json",
              std::string(200'000, '[') + std::string(200'000, ']'));
    writeFile(store->root() / "big" / "project.json", "");
    fs::resize_file(store->root() / "big" / "project.json", uintmax_t{8} << 30);  // sparse
    fs::create_directories(store->root() / "fifo");
    ASSERT_EQ(::mkfifo((store->root() / "fifo" / "project.json").c_str(), 0644), 0);
    auto started = std::chrono::steady_clock::now();
    auto listed = store->listDrafts();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
              1.0);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].project.id, good.id);
}

}  // namespace
}  // namespace zimlo
