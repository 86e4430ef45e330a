#include "model/DraftStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <unordered_set>

#include "platform/storage/AtomicFile.h"
#include "platform/storage/DocumentsDirectory.h"

namespace zimlo {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDocumentName = "project.json";

// The whole file, or nothing when it cannot be opened or read (missing, a directory, ...).
std::optional<std::string> readWholeFile(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string contents;
    contents.resize(static_cast<size_t>(info.st_size));
    size_t filled = 0;
    for (;;) {
        if (filled == contents.size()) contents.resize(contents.size() + 4096);
        ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    ::close(fd);
    contents.resize(filled);
    return contents;
}

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
void removeMedia(const fs::path& dir, const std::string& base, const fs::path& keep) {
    for (const fs::path& entry : sortedEntries(dir)) {
        if (entry.stem() != base) continue;
        if (sameFile(entry, keep)) continue;
        fs::remove_all(entry);
    }
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
// place.
void storeMedia(const fs::path& source, const fs::path& dest, const fs::path& dir,
                const std::string& base) {
    if (sameFile(source, dest)) return;
    removeStaleTemporaries(dir, base);
    fs::path temporary = temporarySibling(dest);
    try {
        fs::copy_file(source, temporary, fs::copy_options::overwrite_existing);
        removeMedia(dir, base, source);
        fs::rename(temporary, dest);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
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

RecordingProject DraftStore::saveDraft(const RecordingProject& project) const {
    RecordingProject stored = project;
    stored.isDraft = true;
    fs::path dir = draftDirectory(project.id);

    struct Media {
        const char* base;
        std::optional<fs::path>& field;
        fs::path source;
    };
    std::vector<Media> media;
    for (auto [base, field] :
         {std::pair<const char*, std::optional<fs::path>*>{"main", &stored.mainVideoURL},
          {"pip", &stored.pipVideoURL}}) {
        if (!*field) continue;
        media.push_back({base, *field, fs::absolute(**field)});
        *field = mediaDestination(dir, base, **field);
    }
    // Encoding can only fail on a bad number; finding out before touching the disk leaves nothing
    // behind.
    std::string document = stored.toJSON();

    fs::create_directories(dir);
    for (const Media& item : media) storeMedia(item.source, *item.field, dir, item.base);
    writeFileAtomically(dir / kDocumentName, document);
    return stored;
}

std::optional<fs::path> DraftStore::findMedia(const fs::path& dir, const std::string& base) {
    for (const char* extension : {".mp4", ".mov", ".m4v"}) {
        fs::path candidate = dir / (base + extension);
        if (::access(candidate.c_str(), F_OK) == 0) return candidate;
    }
    for (const fs::path& entry : sortedEntries(dir))
        if (entry.stem() == base) return entry;
    return std::nullopt;
}

namespace {

// One listed entry: its document decoded and its media located, or nothing.
std::optional<RecordingProject> readDraft(const fs::path& entry) {
    auto document = readWholeFile(entry / kDocumentName);
    if (!document) return std::nullopt;
    try {
        RecordingProject project = RecordingProject::fromJSON(*document);
        // The stored paths may be stale (a moved documents folder): look again.
        project.mainVideoURL = DraftStore::findMedia(entry, "main");
        project.pipVideoURL = DraftStore::findMedia(entry, "pip");
        return project;
    } catch (...) {
        // An undecodable draft is left out of the list, not deleted.
        return std::nullopt;
    }
}

// Reads every entry, spreading large listings over a few threads (decoding the documents is
// what costs). The result keeps the order of `entries`.
std::vector<std::optional<RecordingProject>> readDrafts(const std::vector<fs::path>& entries) {
    std::vector<std::optional<RecordingProject>> results(entries.size());
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
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads: the calling thread does the rest
        }
    }
    work();
    for (auto& thread : threads) thread.join();
    return results;
}

}  // namespace

std::vector<RecordingProject> DraftStore::loadDrafts() const {
    std::vector<RecordingProject> drafts;
    for (auto& draft : readDrafts(sortedEntries(root_)))
        if (draft) drafts.push_back(std::move(*draft));
    std::stable_sort(drafts.begin(), drafts.end(),
                     [](const auto& a, const auto& b) { return a.createdAt > b.createdAt; });
    // Of several drafts from one asset only the newest is listed.
    std::unordered_set<std::string> seen;
    std::erase_if(drafts, [&](const RecordingProject& project) {
        const auto& identifier = project.sourceAssetIdentifier;
        if (!identifier || identifier->empty()) return false;
        return !seen.insert(*identifier).second;
    });
    return drafts;
}

void DraftStore::deleteDraft(const Uuid& id) const {
    fs::path dir = draftDirectory(id);
    std::error_code error;
    fs::file_status status = fs::symlink_status(dir, error);
    if (status.type() == fs::file_type::not_found) return;
    if (error) throw fs::filesystem_error("cannot delete draft", dir, error);
    fs::remove_all(dir);
}

}  // namespace zimlo
