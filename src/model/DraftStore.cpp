#include "model/DraftStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>
#include <unordered_set>

#include "model/JsonCoding.h"
#include "platform/log/Log.h"
#include "platform/runtime/Threads.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/BoundedFile.h"
#include "platform/storage/DocumentsDirectory.h"
#include "platform/storage/FileCopy.h"

namespace zimlo {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDocumentName = "project.json";

// Entries of `dir` sorted by name (so that listing does not depend on the file system's order);
// a listing failure gives no entries.
std::vector<fs::path> sortedEntries(const fs::path& dir) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    if (fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal()) return true;
    // Links and other spellings of one file count as the same too: copying over it would
    // destroy the source.
    std::error_code error;
    return fs::equivalent(a, b, error);
}

// Removes every entry of `dir` whose name without extension is `base`, except `keep` (the
// movie being saved when it already lives in the draft directory under another name).
Result<void, FileError> removeMedia(const fs::path& dir, const std::string& base,
                                    const fs::path& keep) {
    for (const fs::path& entry : sortedEntries(dir)) {
        if (entry.stem() != base) continue;
        if (sameFile(entry, keep)) continue;
        std::error_code error;
        if (fs::remove_all(entry, error); error) return fail(FileError{"remove", entry, error});
    }
    return {};
}

fs::path temporarySibling(const fs::path& file) {
    static std::atomic<unsigned> counter{0};
    return file.parent_path() / ("." + file.filename().string() + ".tmp-" +
                                 std::to_string(getpid()) + "-" + std::to_string(counter++));
}

// Temporary copies that an interrupted save of `base` left behind (".main.mp4.tmp-…").
void removeStaleTemporaries(const fs::path& dir, const std::string& base) {
    std::string prefix = "." + base + ".";
    for (const fs::path& entry : sortedEntries(dir)) {
        std::string name = entry.filename().string();
        if (name.starts_with(prefix) && name.find(".tmp-") != std::string::npos) {
            std::error_code ignored;
            fs::remove(entry, ignored);
        }
    }
}

// Puts a copy of `source` at `dest` in `dir`, replacing earlier movies of the same base name.
// The copy is made under a temporary name first, so a failed copy leaves the earlier movie in
// place. A `surrendered` source on the same file system is taken as it is: the draft's name is
// a second name of the same file, which costs nothing however long the movie.
Result<void, FileError> storeMedia(const fs::path& source, const fs::path& dest,
                                   const fs::path& dir, const std::string& base, bool surrendered) {
    if (sameFile(source, dest)) return {};
    removeStaleTemporaries(dir, base);
    fs::path temporary = temporarySibling(dest);
    auto failed = [&](FileError error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return fail(std::move(error));
    };
    const bool linked = surrendered && ::link(source.c_str(), temporary.c_str()) == 0;
    if (linked) {
        // On the disk before the caller deletes its name, as a copy would be: what its writer
        // left in memory (the last seconds, as a rule) is written now.
        const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int code = errno;
            if (fd >= 0) ::close(fd);
            return failed(
                FileError{"fsync", temporary, std::error_code(code, std::generic_category())});
        }
        ::close(fd);
    } else if (auto copied = copyFileContents(source, temporary); !copied) {
        return failed(std::move(copied).error());
    }
    if (auto removed = removeMedia(dir, base, source); !removed)
        return failed(std::move(removed).error());
    std::error_code error;
    if (fs::rename(temporary, dest, error); error)
        return failed(FileError{"rename", temporary, error});
    return {};
}

fs::path mediaDestination(const fs::path& dir, const std::string& base, const fs::path& source) {
    std::string extension = source.extension().string();
    if (extension.size() <= 1) extension = ".mov";  // none, or a bare trailing dot
    return dir / (base + extension);
}

}  // namespace

std::shared_ptr<DraftStore> DraftStore::shared() {
    static auto instance = std::make_shared<DraftStore>(defaultRoot());
    return instance;
}

fs::path DraftStore::defaultRoot() { return documentsDirectory() / "Drafts"; }

DraftStore::DraftStore(fs::path root) : root_(std::move(root)) {
    std::error_code ignored;
    fs::create_directories(root_, ignored);
}

fs::path DraftStore::draftDirectory(const Uuid& id) const { return root_ / id.uuidString(); }

namespace {

DraftSaveError saveError(const FileError& error) { return {error.path, error.code, error.text()}; }

}  // namespace

Result<RecordingProject, DraftSaveError> DraftStore::saveDraft(
    const RecordingProject& project, const std::vector<fs::path>& surrendered) const {
    RecordingProject stored = project;
    stored.isDraft = true;
    fs::path dir = draftDirectory(project.id);

    struct Media {
        const char* base;
        fs::path source;
        fs::path destination;
    };
    std::vector<Media> media;
    for (auto [base, field] :
         {std::pair<const char*, std::optional<MovieURL>*>{"main", &stored.mainVideo},
          {"pip", &stored.pipVideo}}) {
        // A URL that names no file here stays in the document as it is; nothing is copied.
        auto file = localFile(*field);
        if (!file) continue;
        media.push_back({base, fs::absolute(*file), mediaDestination(dir, base, *file)});
        *field = media.back().destination;
    }
    // Encoding can only fail on a bad number or text; finding out before touching the disk
    // leaves nothing behind.
    auto encoded = stored.toJSON();
    if (!encoded) {
        ZIMLO_LOG_ERROR("drafts") << "encoding the draft " << dir << ": " << encoded.error();
        return fail(DraftSaveError{{}, {}, encoded.error().text()});
    }
    const std::string document = std::move(encoded).value();
    std::error_code createError;
    const bool created = fs::create_directories(dir, createError);
    auto failed = [&](const FileError& error) {
        ZIMLO_LOG_ERROR("drafts") << "saving the draft " << dir << ": " << error.text();
        // A draft directory made by this save holds nothing worth keeping.
        if (created) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
        return fail(saveError(error));
    };
    if (createError) return failed(FileError{"create_directories", dir, createError});
    for (const Media& item : media) {
        const bool given =
            std::any_of(surrendered.begin(), surrendered.end(),
                        [&](const fs::path& file) { return sameFile(file, item.source); });
        if (auto copied = storeMedia(item.source, item.destination, dir, item.base, given); !copied)
            return failed(copied.error());
    }
    if (auto written = writeFileAtomically(dir / kDocumentName, document); !written)
        return failed(written.error());
    // The copies were flushed before their renames; the renames and a new draft folder are
    // made lasting here, before anyone deletes the originals.
    if (auto synced = syncDirectory(dir); !synced) return failed(synced.error());
    if (created) {
        if (auto synced = syncDirectory(root_); !synced) return failed(synced.error());
    }
    return stored;
}

Result<RecordingProject, DraftSaveError> DraftStore::renameDraft(
    const ListedDraft& draft, const std::optional<std::string>& title) const {
    const fs::path file = draft.directory / kDocumentName;
    auto failed = [&](DraftSaveError error) {
        ZIMLO_LOG_ERROR("drafts") << "renaming the draft " << draft.directory << ": "
                                  << error.message;
        return fail(std::move(error));
    };
    auto document = readRegularFile(file, kMaximumDocumentBytes);
    if (!document) return failed(saveError(document.error()));
    RecordingProject project;
    try {
        project = RecordingProject::fromJSON(*document);
    } catch (const std::exception& error) {
        return failed(
            DraftSaveError{file, std::make_error_code(std::errc::invalid_argument), error.what()});
    }
    project.title.reset();
    if (title) {
        const size_t first = title->find_first_not_of(" \t\r\n");
        if (first != std::string::npos) {
            const size_t last = title->find_last_not_of(" \t\r\n");
            project.title = title->substr(first, last - first + 1);
        }
    }
    auto encoded = project.toJSON();
    if (!encoded) return failed(DraftSaveError{{}, {}, encoded.error().text()});
    if (auto written = writeFileAtomically(file, *encoded); !written)
        return failed(saveError(written.error()));
    if (auto synced = syncDirectory(draft.directory); !synced)
        return failed(saveError(synced.error()));
    return project;
}

bool DraftStore::hasDraft(const Uuid& id) const {
    auto document = readRegularFile(draftDirectory(id) / kDocumentName, kMaximumDocumentBytes);
    if (!document) return false;
    try {
        (void)RecordingProject::fromJSON(*document);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

// The process id of a partial copy's name, ".<file>.tmp-<pid>-<n>" with <file> one a draft holds
// (a movie, the document, a subtitle file); nothing for any other name.
std::optional<pid_t> partialCopyOwner(const std::string& name) {
    const size_t mark = name.rfind(".tmp-");
    if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) return {};
    const std::string file = name.substr(1, mark - 1);
    const std::string stem = file.substr(0, file.find('.'));
    const bool ours = ((stem == "main" || stem == "pip") && file.size() > stem.size() + 1) ||
                      file == kDocumentName || file == "subtitles.srt" || file == "subtitles.vtt";
    if (!ours) return {};
    const std::string tail = name.substr(mark + 5);
    const size_t dash = tail.find('-');
    auto digits = [](std::string_view text) {
        return !text.empty() && text.size() <= 9 &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dash == std::string::npos || !digits(tail.substr(0, dash)) ||
        !digits(tail.substr(dash + 1)))
        return {};
    return static_cast<pid_t>(std::stol(tail.substr(0, dash)));
}

bool processIsAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

size_t DraftStore::sweepInterruptedSaves() const {
    // A save writes its copy without a pause and renames it at once: one untouched this long is
    // not being written, whoever has its process id now.
    constexpr time_t kAbandonedSeconds = 3600;
    // An empty draft folder this young may be a save that has not begun its first copy.
    constexpr time_t kEmptyFolderSeconds = 10;
    const time_t now = std::time(nullptr);
    size_t swept = 0;
    for (const fs::path& entry : sortedEntries(root_)) {
        struct stat folder {};
        if (::lstat(entry.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) continue;
        bool heldPartialCopy = false;
        for (const fs::path& file : sortedEntries(entry)) {
            const auto owner = partialCopyOwner(file.filename().string());
            struct stat info {};
            if (!owner || ::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
            const bool abandoned = now - info.st_mtime > kAbandonedSeconds ||
                                   (*owner != ::getpid() && !processIsAlive(*owner));
            if (!abandoned) continue;
            if (::unlink(file.c_str()) == 0) {
                ZIMLO_LOG_INFO("drafts") << "removed a copy an interrupted save left: " << file;
                heldPartialCopy = true;
                ++swept;
            }
        }
        const auto id = Uuid::parse(entry.filename().string());
        if (!id || id->uuidString() != entry.filename().string()) continue;  // not a folder we name
        if (!heldPartialCopy && now - folder.st_mtime <= kEmptyFolderSeconds) continue;
        if (::rmdir(entry.c_str()) == 0) {  // only when empty
            ZIMLO_LOG_INFO("drafts") << "removed an empty draft folder: " << entry;
            ++swept;
        }
    }
    return swept;
}

namespace {

// A regular file, or a link that resolves to one inside `dir`.
bool isMediaFile(const fs::path& dir, const fs::path& candidate) {
    std::error_code error;
    const fs::file_status own = fs::symlink_status(candidate, error);
    if (error) return false;
    if (fs::is_regular_file(own)) return true;
    if (!fs::is_symlink(own)) return false;
    const fs::path resolved = fs::canonical(candidate, error);
    if (error || !fs::is_regular_file(fs::status(resolved, error))) return false;
    const fs::path inside = fs::canonical(dir, error);
    if (error) return false;
    const fs::path relative = resolved.lexically_relative(inside);
    return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

std::optional<fs::path> DraftStore::findMedia(const fs::path& dir, const std::string& base) {
    for (const char* extension : {".mp4", ".mov", ".m4v"}) {
        fs::path candidate = dir / (base + extension);
        if (isMediaFile(dir, candidate)) return candidate;
    }
    for (const fs::path& entry : sortedEntries(dir))
        if (entry.stem() == base && isMediaFile(dir, entry)) return entry;
    return std::nullopt;
}

namespace {

// One listed entry: its document decoded and its media located, or nothing.
std::optional<ListedDraft> readDraft(const fs::path& entry) {
    auto document = readRegularFile(entry / kDocumentName, kMaximumDocumentBytes);
    if (!document) return std::nullopt;
    try {
        RecordingProject project = RecordingProject::fromJSON(*document);
        // The stored paths may be stale (a moved documents folder): look again. A URL naming no
        // file here stays as the document has it, unless the folder holds the movie.
        for (auto [base, field] :
             {std::pair<const char*, std::optional<MovieURL>*>{"main", &project.mainVideo},
              {"pip", &project.pipVideo}}) {
            auto found = DraftStore::findMedia(entry, base);
            if (found || !*field || (*field)->isFile()) *field = std::move(found);
        }
        return ListedDraft{std::move(project), entry};
    } catch (const std::exception& error) {
        // An undecodable draft is left out of the list, not deleted.
        ZIMLO_LOG_WARN("drafts") << "left out of the list, " << entry << ": " << error.what();
        return std::nullopt;
    }
}

// Reads every entry, spreading large listings over a few threads (decoding the documents is
// what costs). The result keeps the order of `entries`.
std::vector<std::optional<ListedDraft>> readDrafts(const std::vector<fs::path>& entries) {
    std::vector<std::optional<ListedDraft>> results(entries.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < entries.size(); i = next++) results[i] = readDraft(entries[i]);
    };
    constexpr size_t kEntriesPerThread = 64;
    size_t helpers = std::min<size_t>({std::max(1u, std::thread::hardware_concurrency()) - 1, 3,
                                       entries.size() / kEntriesPerThread});
    std::vector<std::thread> threads;
    for (size_t i = 0; i < helpers; ++i) {
        try {
            threads.push_back(startThread("draft-read", work));
        } catch (const std::system_error&) {
            break;  // no more threads: the calling thread does the rest
        }
    }
    work();
    for (auto& thread : threads) thread.join();
    return results;
}

}  // namespace

std::vector<ListedDraft> DraftStore::listDrafts() const {
    std::vector<ListedDraft> drafts;
    for (auto& draft : readDrafts(sortedEntries(root_)))
        if (draft) drafts.push_back(std::move(*draft));
    std::stable_sort(drafts.begin(), drafts.end(), [](const auto& a, const auto& b) {
        return a.project.createdAt > b.project.createdAt;
    });
    // Of several drafts from one asset only the newest is listed.
    std::unordered_set<std::string> seen;
    std::erase_if(drafts, [&](const ListedDraft& draft) {
        const auto& identifier = draft.project.sourceAssetIdentifier;
        if (!identifier || identifier->empty()) return false;
        return !seen.insert(*identifier).second;
    });
    return drafts;
}

std::vector<RecordingProject> DraftStore::loadDrafts() const {
    std::vector<RecordingProject> projects;
    for (auto& draft : listDrafts()) projects.push_back(std::move(draft.project));
    return projects;
}

namespace {

Failure<DraftDeletionError> failRemoval(const fs::path& path, std::error_code error) {
    ZIMLO_LOG_ERROR("drafts") << "deleting " << path << ": " << error.message();
    return fail(DraftDeletionError{path, error});
}

Failure<DraftDeletionError> failRemoval(const fs::path& path, int error) {
    return failRemoval(path, std::error_code(error, std::generic_category()));
}

// Fails unless everything below `dir` can be removed: each directory readable and writable by
// us and every entry on the draft's own file system (a mount inside it is someone else's data).
// Symbolic links are removed as links, so what they point to does not matter.
Result<void, DraftDeletionError> checkRemovable(const fs::path& dir, dev_t device) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return failRemoval(dir, errno);
    if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        int error = errno;
        ::close(fd);
        return failRemoval(dir, error);
    }
    DIR* listing = ::fdopendir(fd);
    if (!listing) {
        int error = errno;
        ::close(fd);
        return failRemoval(dir, error);
    }
    // Subdirectories are visited after this one is closed, so deep trees hold one descriptor.
    std::vector<fs::path> subdirectories;
    int error = 0;
    fs::path offending = dir;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (!entry) {
            error = errno;
            break;
        }
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            error = errno;
            offending = dir / name;
            break;
        }
        if (info.st_dev != device) {
            error = EXDEV;
            offending = dir / name;
            break;
        }
        if (S_ISDIR(info.st_mode)) subdirectories.push_back(dir / name);
    }
    ::closedir(listing);
    if (error != 0) return failRemoval(offending, error);
    for (const auto& subdirectory : subdirectories)
        if (auto checked = checkRemovable(subdirectory, device); !checked) return checked;
    return {};
}

fs::path withoutTrailingSeparator(const fs::path& path) {
    fs::path normal = fs::absolute(path).lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal;
}

}  // namespace

Result<void, DraftDeletionError> DraftStore::removeDraftDirectory(const fs::path& dir) const {
    const fs::path draft = withoutTrailingSeparator(dir);
    if (draft.parent_path() != withoutTrailingSeparator(root_) || !draft.has_filename())
        return failRemoval(dir, EINVAL);  // not one of this store's drafts
    struct stat info {};
    if (::lstat(draft.c_str(), &info) != 0) {
        if (errno == ENOENT) return {};  // already gone
        return failRemoval(draft, errno);
    }
    std::error_code removal;
    if (S_ISLNK(info.st_mode)) {
        // Listing never follows one; whatever it points to is not ours.
        fs::remove(draft, removal);
        if (removal) return failRemoval(draft, removal);
        return {};
    }
    if (!S_ISDIR(info.st_mode)) return failRemoval(draft, ENOTDIR);
    if (auto checked = checkRemovable(draft, info.st_dev); !checked) return checked;
    fs::remove_all(draft, removal);
    if (removal) return failRemoval(draft, removal);
    return {};
}

Result<void, DraftDeletionError> DraftStore::deleteDraft(const ListedDraft& draft) const {
    return removeDraftDirectory(draft.directory);
}

Result<void, DraftDeletionError> DraftStore::deleteDraft(const Uuid& id) const {
    return removeDraftDirectory(draftDirectory(id));
}

}  // namespace zimlo
