// The model installer on test models made from Debian's English model (pocketsphinx-en-us):
// good folders and archives, and broken, hostile or cut-short ones that must change nothing.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "platform/speech/ModelInstaller.h"

namespace zimlo::speech {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kBuiltWithAddressSanitizer = true;
#else
constexpr bool kBuiltWithAddressSanitizer = false;
#endif

namespace {

namespace fs = std::filesystem;

const fs::path kEnglish = "/usr/share/pocketsphinx/model/en-us";

struct Entry {
    std::string name;
    std::string content = {};
    std::string symlink = {};   // a symbolic link to this target when set
    std::string hardlink = {};  // a hard link to this name when set
};

// A tar.gz holding `entries` and, under `top`, the files of `folder` (when given).
void writeArchive(const fs::path& path, const std::vector<Entry>& entries,
                  const fs::path& folder = {}, const std::string& top = "") {
    archive* out = archive_write_new();
    archive_write_add_filter_gzip(out);
    archive_write_set_format_pax_restricted(out);
    ASSERT_EQ(archive_write_open_filename(out, path.c_str()), ARCHIVE_OK);
    auto add = [&](const Entry& e) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_perm(entry, 0644);
        if (!e.symlink.empty()) {
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.symlink.c_str());
        } else if (!e.hardlink.empty()) {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, e.hardlink.c_str());
        } else {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        }
        archive_write_header(out, entry);
        if (!e.content.empty()) archive_write_data(out, e.content.data(), e.content.size());
        archive_entry_free(entry);
    };
    if (!folder.empty()) {
        for (const auto& file : fs::recursive_directory_iterator(folder)) {
            if (!file.is_regular_file()) continue;
            std::ifstream in(file.path(), std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), {});
            add({(fs::path(top) / file.path().lexically_relative(folder)).string(), content});
        }
    }
    for (const auto& e : entries) add(e);
    archive_write_close(out);
    archive_write_free(out);
}

void cutInHalf(const fs::path& file) { fs::resize_file(file, fs::file_size(file) / 2); }

class ModelInstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(kEnglish / "en-us" / "mdef")) << "pocketsphinx-en-us is missing";
        std::string pattern = (fs::temp_directory_path() / "zimlo-models-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        // The data folder is reached through a link, as when it lives on another disk.
        fs::create_directory(root / "disk");
        fs::create_directory_symlink(root / "disk", root / "data");
        models = root / "data" / "zimlo" / "models";
        destination = models / "zh-CN";
    }
    void TearDown() override { fs::remove_all(root); }

    // A copy of the English model in Debian's layout, which is one of the generic ones.
    fs::path englishCopy(const std::string& name) {
        fs::path copy = root / name;
        fs::copy(kEnglish, copy, fs::copy_options::recursive);
        return copy;
    }
    // Every file under `dir` with its size: what must not change.
    static std::map<std::string, uintmax_t> snapshot(const fs::path& dir) {
        std::map<std::string, uintmax_t> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            files[entry.path().lexically_relative(dir).string()] =
                entry.is_regular_file() ? entry.file_size() : 0;
        return files;
    }
    std::vector<std::string> modelsFolderNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(models))
            names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path root, models, destination;
};

TEST_F(ModelInstallerTest, InstallsAFolderThenAnArchiveThatReplacesIt) {
    std::vector<std::string> steps;
    auto installedFlat = installModel(englishCopy("flat"), destination,
                                      [&](const std::string& step) { steps.push_back(step); });
    ASSERT_TRUE(installedFlat) << installedFlat.error();
    const ModelInstallation& flat = *installedFlat;
    EXPECT_EQ(flat.directory, destination);
    EXPECT_EQ(flat.paths, (ModelPaths{destination / "en-us", destination / "cmudict-en-us.dict",
                                      destination / "en-us.lm.bin"}));
    EXPECT_EQ(flat.files, 11u);
    EXPECT_FALSE(flat.replacedPrevious);
    EXPECT_EQ(findModelInFolder(destination), flat.paths);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[1], "loading the model once to check it");

    // The archive's own top folder is kept; the previous model goes entirely.
    writeArchive(root / "model.tar.gz", {}, kEnglish, "cmusphinx-en-5.2");
    auto installedNested = installModel(root / "model.tar.gz", destination);
    ASSERT_TRUE(installedNested) << installedNested.error();
    const ModelInstallation& nested = *installedNested;
    EXPECT_TRUE(nested.replacedPrevious);
    EXPECT_EQ(nested.paths.languageModel, destination / "cmusphinx-en-5.2" / "en-us.lm.bin");
    EXPECT_EQ(findModelInFolder(destination), nested.paths);
    EXPECT_FALSE(fs::exists(destination / "en-us.lm.bin"));
    EXPECT_EQ(fs::status(destination).permissions() & fs::perms::others_read,
              fs::perms::others_read);
    EXPECT_EQ(modelsFolderNames(), std::vector<std::string>{"zh-CN"});
}

TEST_F(ModelInstallerTest, InstallsFromTheFolderThatHoldsTheModelsFolder) {
    // The staging folder appears inside the source while it is copied; it must not copy itself.
    fs::create_directories(models);
    fs::copy(kEnglish, models, fs::copy_options::recursive);
    auto installed = installModel(models, destination);
    ASSERT_TRUE(installed) << installed.error();
    EXPECT_EQ(installed->paths.acousticModel, destination / "en-us");
    EXPECT_EQ(installed->files, 11u);
    for (const auto& entry : fs::directory_iterator(destination))
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

TEST_F(ModelInstallerTest, BrokenHostileAndCutShortModelsChangeNothing) {
    ASSERT_TRUE(installModel(englishCopy("installed"), destination));
    const auto before = snapshot(destination);
    writeArchive(root / "good.tar.gz", {}, kEnglish, "model");

    using Kind = ModelInstallError::Kind;
    struct Case {
        std::string what;
        std::function<fs::path()> make;
        Kind kind;
        std::string expected;  // part of the error
    };
    auto cutFolder = [&](const std::string& file) {
        return [this, file] {
            fs::path copy = englishCopy("cut-" + fs::path(file).filename().string());
            cutInHalf(copy / file);
            return copy;
        };
    };
    const std::vector<Case> cases{
        {"not an archive",
         [&] {
             std::ofstream(root / "junk.tar.gz") << std::string(4096, '\x17');
             return root / "junk.tar.gz";
         },
         Kind::unreadable, "as an archive"},
        {"archive cut short",
         [&] {
             fs::copy_file(root / "good.tar.gz", root / "cut.tar.gz");
             cutInHalf(root / "cut.tar.gz");
             return root / "cut.tar.gz";
         },
         Kind::damaged, "damaged"},
        {"path traversal",
         [&] {
             writeArchive(root / "up.tar.gz", {{"model/README", "x"}, {"../evil", "x"}});
             return root / "up.tar.gz";
         },
         Kind::refused, "'../evil' would be written outside the model folder"},
        {"absolute name",
         [&] {
             writeArchive(root / "abs.tar.gz", {{(root / "absolute-evil").string(), "x"}});
             return root / "abs.tar.gz";
         },
         Kind::refused, "would be written outside the model folder"},
        {"symbolic link climbing out",
         [&] {
             writeArchive(root / "link.tar.gz", {{"model/a.dic", "", "../../../etc/passwd"}});
             return root / "link.tar.gz";
         },
         Kind::refused, "symbolic link 'model/a.dic'"},
        {"hard link out",
         [&] {
             writeArchive(root / "hard.tar.gz", {{"model/a.dic", "", "", "../outside"}});
             return root / "hard.tar.gz";
         },
         Kind::refused, "hard link 'model/a.dic'"},
        {"ten thousand and one files",
         [&] {
             std::vector<Entry> many;
             for (int i = 0; i <= 10'000; ++i) many.push_back({"model/f" + std::to_string(i)});
             writeArchive(root / "many.tar.gz", many);
             return root / "many.tar.gz";
         },
         Kind::refused, "more than 10000 files and folders"},
        {"no model inside",
         [&] {
             writeArchive(root / "empty.tar.gz", {{"model/README", "x"}, {"model/x.dic", "a A\n"}});
             return root / "empty.tar.gz";
         },
         Kind::notAModel, "lacks an acoustic-model folder with an mdef file and a language model"},
        {"means cut short", cutFolder("en-us/means"), Kind::doesNotLoad,
         "Failed to read density data"},
        // AddressSanitizer turns the library's crash into an ordinary failed exit of the trial.
        {"mdef cut short (the library crashes)", cutFolder("en-us/mdef"), Kind::doesNotLoad,
         kBuiltWithAddressSanitizer ? "does not load" : "crashed"},
        {"sendump cut short", cutFolder("en-us/sendump"), Kind::doesNotLoad, "sendump"},
        {"language model cut short", cutFolder("en-us.lm.bin"), Kind::doesNotLoad, "does not load"},
        {"dictionary cut short", cutFolder("cmudict-en-us.dict"), Kind::notAModel, "is cut short"},
        {"missing source", [&] { return root / "absent"; }, Kind::noSource,
         "no such file or folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path source = c.make();
        auto installed = installModel(source, destination);
        ASSERT_FALSE(installed) << "installed";
        const ModelInstallError& error = installed.error();
        EXPECT_EQ(error.kind, c.kind) << error;
        EXPECT_NE(error.message.find(c.expected), std::string::npos) << error;
        // Named as the user gave it, never as our staging folder.
        EXPECT_EQ(error.message.find(".zh-CN."), std::string::npos) << error;
        EXPECT_EQ(error.path.string().find(".zh-CN."), std::string::npos) << error;
        EXPECT_EQ(snapshot(destination), before);
        EXPECT_EQ(modelsFolderNames(), std::vector<std::string>{"zh-CN"});
    }
    EXPECT_FALSE(fs::exists(models / "evil"));
    EXPECT_FALSE(fs::exists(root / "absolute-evil"));
    EXPECT_FALSE(fs::exists(root / "data" / "zimlo" / "outside"));
}

// A disk that fills up while the new model is unpacked: the error says so, and the previous
// model stays in place, whole and loadable, with no half-written copy beside it.
TEST_F(ModelInstallerTest, AFullDiskKeepsThePreviousModel) {
    writeArchive(root / "model.tar.gz", {}, kEnglish, "model");
    fs::create_directories(root / "small");
    // Room for one model (37 MB), not two.
    if (::mount("tmpfs", (root / "small").c_str(), "tmpfs", 0, "size=56m") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{root / "small"};
    const fs::path small = root / "small" / "zh-CN";
    auto first = installModel(englishCopy("first"), small);
    ASSERT_TRUE(first) << first.error();
    const auto before = snapshot(small);

    // Without the room the installer keeps free, so that the disk does fill up.
    UnpackLimits toTheLastByte;
    toTheLastByte.keepFree = 0;
    auto second = installModel(root / "model.tar.gz", small, {}, toTheLastByte);
    ASSERT_FALSE(second) << "installed on a full disk";
    EXPECT_EQ(second.error().kind, ModelInstallError::Kind::writeFailed) << second.error();
    EXPECT_NE(second.error().message.find("No space left on device"), std::string::npos)
        << second.error();
    EXPECT_EQ(snapshot(small), before);
    EXPECT_EQ(findModelInFolder(small), first->paths);
    EXPECT_TRUE(checkModelLoads(first->paths));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(root / "small"))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"zh-CN"});
}

// A small archive that unpacks to far more than the disk holds: unpacking stops while the disk
// still has room to spare, instead of filling it (other programs write there too).
TEST_F(ModelInstallerTest, AnArchiveBombStopsBeforeTheDiskIsFull) {
    fs::create_directories(root / "small");
    if (::mount("tmpfs", (root / "small").c_str(), "tmpfs", 0, "size=64m") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount(at.c_str()); }
    } unmount{root / "small"};
    {
        archive* out = archive_write_new();
        archive_write_add_filter_gzip(out);
        archive_write_set_format_pax_restricted(out);
        ASSERT_EQ(archive_write_open_filename(out, (root / "bomb.tar.gz").c_str()), ARCHIVE_OK);
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, "model/zeros.lm");
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        const std::string zeros(1 << 20, '\0');
        archive_entry_set_size(entry, 200 * static_cast<la_int64_t>(zeros.size()));
        archive_write_header(out, entry);
        for (int i = 0; i < 200; ++i) archive_write_data(out, zeros.data(), zeros.size());
        archive_entry_free(entry);
        archive_write_close(out);
        archive_write_free(out);
    }
    ASSERT_LT(fs::file_size(root / "bomb.tar.gz"), 1u << 20);

    // The least free space seen while the installer runs.
    std::atomic<bool> done{false};
    std::atomic<uint64_t> leastFree{UINT64_MAX};
    std::thread watcher([&] {
        while (!done) {
            struct statvfs disk {};
            if (::statvfs((root / "small").c_str(), &disk) == 0) {
                const uint64_t free = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
                if (free < leastFree) leastFree = free;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    auto installed = installModel(root / "bomb.tar.gz", root / "small" / "zh-CN");
    done = true;
    watcher.join();
    ASSERT_FALSE(installed) << "installed a bomb";
    EXPECT_EQ(installed.error().kind, ModelInstallError::Kind::writeFailed) << installed.error();
    EXPECT_NE(installed.error().message.find("MiB free"), std::string::npos) << installed.error();
    EXPECT_GE(leastFree.load(), uint64_t{2} << 20) << "the disk was filled";
    EXPECT_TRUE(fs::is_empty(root / "small"));

    // Limits of its own: a real model within them, and one past them refused.
    UnpackLimits tight;
    tight.bytes = 8 << 20;
    auto tooLarge = installModel(englishCopy("large"), destination, {}, tight);
    ASSERT_FALSE(tooLarge);
    EXPECT_EQ(tooLarge.error().kind, ModelInstallError::Kind::refused) << tooLarge.error();
    EXPECT_NE(tooLarge.error().message.find("more than 8 MiB"), std::string::npos)
        << tooLarge.error();
    EXPECT_FALSE(fs::exists(destination));
}

// A language model claiming 200 million words: the trial load stops at the memory a real model
// could need, at once, instead of taking gigabytes for minutes (the library fills an entry for
// each word claimed, whatever the file holds).
TEST_F(ModelInstallerTest, ATrialLoadThatWantsFarTooMuchMemoryIsStopped) {
    const fs::path model = englishCopy("greedy");
    fs::remove(model / "en-us.lm.bin");
    {
        std::ofstream dump(model / "en-us.lm.DMP", std::ios::binary);
        auto word = [&](int32_t value) { dump.write(reinterpret_cast<char*>(&value), 4); };
        const std::string header("Darpa Trigram LM", 17);  // with its terminating zero
        word(17);
        dump.write(header.data(), 17);
        word(1);
        dump.put('\0');     // the name of the file it was made from
        word(0);            // version
        word(0);            // time stamp
        word(0);            // end of the format description
        word(200'000'000);  // words
        word(0);            // word pairs
        word(0);            // word triples
    }
    const auto started = std::chrono::steady_clock::now();
    auto installed = installModel(model, destination);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_FALSE(installed) << "installed";
    EXPECT_EQ(installed.error().kind, ModelInstallError::Kind::doesNotLoad) << installed.error();
    EXPECT_NE(installed.error().message.find("MiB of memory to load"), std::string::npos)
        << installed.error();
    EXPECT_LT(seconds, 60);
    rusage children{};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
    EXPECT_LT(children.ru_maxrss, 1 << 20) << "kilobytes at most in one child";
    EXPECT_FALSE(fs::exists(destination));
}

// An installation killed half-way leaves its hidden folder behind; the next one removes it. Two
// installations into one folder do not run at once.
TEST_F(ModelInstallerTest, LeftoversOfAKilledInstallationGoAndInstallationsTakeTurns) {
    fs::create_directories(models / ".zh-CN.installing-Ab12Cd" / "en-us");
    std::ofstream(models / ".zh-CN.installing-Ab12Cd" / "en-us" / "means") << "half";
    fs::create_directories(models / ".zh-CN.previous-Ef34Gh" / "model");  // not ours to take
    fs::create_directories(models / ".en-US.installing-Ij56Kl");          // another language's

    int lock = ::open(models.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);  // another installer at work
    auto meanwhile = installModel(englishCopy("first"), destination);
    ASSERT_FALSE(meanwhile) << "installed beside another installation";
    EXPECT_EQ(meanwhile.error().kind, ModelInstallError::Kind::busy) << meanwhile.error();
    EXPECT_TRUE(fs::exists(models / ".zh-CN.installing-Ab12Cd"));
    ::close(lock);

    auto installed = installModel(root / "first", destination);
    ASSERT_TRUE(installed) << installed.error();
    auto names = modelsFolderNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".en-US.installing-Ij56Kl", ".zh-CN.previous-Ef34Gh",
                                               "zh-CN"}));
}

std::string run(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    int raw = pipe ? ::pclose(pipe) : -1;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

TEST_F(ModelInstallerTest, ToolInstallsAndListsModels) {
    const std::string tool = "XDG_DATA_HOME='" + (root / "data").string() + "' " +
                             ZIMLO_BINARY_DIR + "/tools/zimlo-tool/zimlo-tool models ";
    int status = -1;
    std::string listed = run(tool + "list", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listed.rfind("zh-CN\tnone\tlooked in: " + destination.string() + " ", 0), 0u)
        << listed;

    std::string printed = run(
        tool + "install '" + englishCopy("m").string() + "' --language zh-CN 2>/dev/null", status);
    EXPECT_EQ(status, 0) << printed;
    EXPECT_EQ(printed.rfind("installed the zh-CN speech model in " + destination.string() +
                                "\n\tacoustic model\ten-us\n\tdictionary\tcmudict-en-us.dict\n"
                                "\tlanguage model\ten-us.lm.bin\n\t11 files, ",
                            0),
              0u)
        << printed;
    listed = run(tool + "list", status);
    EXPECT_EQ(
        listed.rfind("zh-CN\tin use\t" + destination.string() + "\n\tacoustic model\ten-us\n", 0),
        0u)
        << listed;

    printed =
        run(tool + "install '" + (root / "absent").string() + "' --language zh-CN 2>&1", status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(printed.find("error: no such file or folder"), std::string::npos) << printed;
    printed = run(tool + "install '" + (root / "m").string() + "' --language fr-FR 2>&1", status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(printed.find("unknown language 'fr-FR'"), std::string::npos) << printed;
    EXPECT_EQ(run(tool + "install '" + (root / "m").string() + "' 2>&1", status)
                  .rfind("error: usage: zimlo-tool models install", 0),
              0u);
}

}  // namespace
}  // namespace zimlo::speech
