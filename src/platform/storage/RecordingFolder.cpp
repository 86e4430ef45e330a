#include "platform/storage/RecordingFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "platform/log/Log.h"
#include "platform/storage/AtomicFile.h"
#include "platform/storage/DocumentsDirectory.h"

namespace zimlo {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHiddenPrefix = ".new-";
// A hidden folder without a lock this old was left by a maker that died before locking it.
constexpr time_t kHalfMadeSeconds = 60;
// Far above any recording's journal (a line per subtitle); a larger file is not ours.
constexpr off_t kMaximumJournalBytes = off_t{64} << 20;

std::error_code systemError(int error) { return {error, std::generic_category()}; }

Failure<FileError> failed(const char* what, const fs::path& path, int error) {
    return fail(FileError{what, path, systemError(error)});
}

// A small regular file of ours, read whole without following links or blocking; nothing when it
// is missing, not a regular file or larger than `limit`.
std::optional<std::string> readOwnFile(const fs::path& file, off_t limit) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > limit) {
        ::close(fd);
        return std::nullopt;
    }
    std::string contents(static_cast<size_t>(info.st_size), '\0');
    size_t filled = 0;
    while (filled < contents.size()) {
        ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<size_t>(got);
    }
    ::close(fd);
    contents.resize(filled);
    return contents;
}

std::vector<fs::path> sortedEntries(const fs::path& dir) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Opens and locks `dir`'s lock file without waiting: the descriptor, or -1 when there is none or
// a living process holds it.
int lockExisting(const fs::path& dir) {
    const fs::path lockFile = dir / RecordingFolder::kLockName;
    int fd = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    // handOver removes the lock file while holding it: a file we locked after that is no
    // longer the folder's lock.
    struct stat held {
    }, named{};
    if (::fstat(fd, &held) != 0 || ::lstat(lockFile.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A hidden folder create() left when its maker died before naming it. One younger than
// kHalfMadeSeconds may be in the making; a living maker holds its lock.
void removeHalfMade(const fs::path& dir) {
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0 || std::time(nullptr) - info.st_mtime <= kHalfMadeSeconds)
        return;
    if (int fd = lockExisting(dir); fd >= 0) {
        ::unlink((dir / RecordingFolder::kLockName).c_str());
        ::close(fd);
    }
    ::rmdir(dir.c_str());  // only when empty: the lock was all it held
}

}  // namespace

fs::path recordingsDirectory() { return stateDirectory() / "zimlo" / "recordings"; }

Result<std::shared_ptr<RecordingFolder>, FileError> RecordingFolder::create(const fs::path& root) {
    std::error_code error;
    fs::create_directories(root, error);
    if (error) {
        ZIMLO_LOG_ERROR("recordings") << "creating " << root << ": " << error.message();
        return fail(FileError{"create_directories", root, error});
    }
    std::string pattern = (root / (std::string(kHiddenPrefix) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {  // mode 0700: screen recordings are private
        int code = errno;
        ZIMLO_LOG_ERROR("recordings")
            << "creating a folder in " << root << ": " << std::strerror(code);
        return failed("mkdtemp", root, code);
    }
    const fs::path hidden = pattern;
    int fd = ::open((hidden / kLockName).c_str(),
                    O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int code = errno;
        if (fd >= 0) ::close(fd);
        ::unlink((hidden / kLockName).c_str());
        ::rmdir(hidden.c_str());
        ZIMLO_LOG_ERROR("recordings") << "locking " << hidden << ": " << std::strerror(code);
        return failed("lock", hidden / kLockName, code);
    }
    const std::string stem = "recording-" +
                             std::to_string(static_cast<long long>(std::time(nullptr))) + "-" +
                             hidden.filename().string().substr(std::strlen(kHiddenPrefix));
    int code = EEXIST;
    for (int attempt = 1; attempt <= 100 && code == EEXIST; ++attempt) {
        const fs::path named = root / (attempt == 1 ? stem : stem + "-" + std::to_string(attempt));
        if (::renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, named.c_str(), RENAME_NOREPLACE) == 0)
            return std::shared_ptr<RecordingFolder>(new RecordingFolder(named, fd));
        code = errno;
        if (code == EINVAL || code == ENOSYS) {
            // A file system that cannot refuse to replace: the name is checked first instead.
            code = ::access(named.c_str(), F_OK) == 0             ? EEXIST
                   : ::rename(hidden.c_str(), named.c_str()) == 0 ? 0
                                                                  : errno;
            if (code == 0) return std::shared_ptr<RecordingFolder>(new RecordingFolder(named, fd));
        }
    }
    ::unlink((hidden / kLockName).c_str());
    ::close(fd);
    ::rmdir(hidden.c_str());
    ZIMLO_LOG_ERROR("recordings") << "naming a folder in " << root << ": " << std::strerror(code);
    return failed("rename", hidden, code);
}

std::vector<std::shared_ptr<RecordingFolder>> RecordingFolder::adoptAbandoned(
    const fs::path& root) {
    std::vector<std::shared_ptr<RecordingFolder>> adopted;
    for (const fs::path& entry : sortedEntries(root)) {
        struct stat info {};
        if (::lstat(entry.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
        const std::string name = entry.filename().string();
        if (name.starts_with(kHiddenPrefix)) {
            removeHalfMade(entry);
            continue;
        }
        if (name.starts_with(".")) continue;
        if (::access((entry / kLockName).c_str(), F_OK) != 0) {
            ::rmdir(entry.c_str());  // handed over: gone once whoever took it emptied it
            continue;
        }
        if (int fd = lockExisting(entry); fd >= 0)
            adopted.push_back(std::shared_ptr<RecordingFolder>(new RecordingFolder(entry, fd)));
    }
    return adopted;
}

RecordingFolder::~RecordingFolder() { closeLock(); }

void RecordingFolder::closeLock() {
    if (lock_ >= 0) ::close(lock_);
    lock_ = -1;
}

Result<void, FileError> RecordingFolder::appendToJournal(std::string_view record) {
    const fs::path file = path_ / kJournalName;
    if (record.find('\n') != std::string_view::npos) return failed("append", file, EINVAL);
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        int code = errno;
        ZIMLO_LOG_ERROR("recordings")
            << "opening the journal " << file << ": " << std::strerror(code);
        return failed("open", file, code);
    }
    // One write: appends are whole or, on a full disk, short; a short one ends without a line
    // break and is left out when read.
    std::string line(record);
    line.push_back('\n');
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    int code = written < 0 ? errno : static_cast<size_t>(written) < line.size() ? ENOSPC : 0;
    if (::close(fd) != 0 && code == 0) code = errno;
    if (code != 0) {
        ZIMLO_LOG_ERROR("recordings")
            << "writing the journal " << file << ": " << std::strerror(code);
        return failed("write", file, code);
    }
    return {};
}

std::vector<std::string> RecordingFolder::journal() const {
    std::vector<std::string> records;
    auto contents = readOwnFile(path_ / kJournalName, kMaximumJournalBytes);
    if (!contents) return records;
    size_t start = 0;
    for (size_t end; (end = contents->find('\n', start)) != std::string::npos; start = end + 1)
        if (end > start) records.push_back(contents->substr(start, end - start));
    return records;
}

Result<void, FileError> RecordingFolder::noteDraft(std::string_view id) {
    auto written = writeFileAtomically(path_ / kDraftNoteName, id);
    if (!written) {
        ZIMLO_LOG_ERROR("recordings")
            << "noting the draft in " << path_ << ": " << written.error().text();
    }
    return written;
}

std::optional<std::string> RecordingFolder::notedDraft() const {
    auto contents = readOwnFile(path_ / kDraftNoteName, 256);
    if (!contents || contents->empty()) return std::nullopt;
    return contents;
}

void RecordingFolder::handOver() {
    ::unlink((path_ / kLockName).c_str());  // from here on nobody adopts it
    ::unlink((path_ / kJournalName).c_str());
    ::unlink((path_ / kDraftNoteName).c_str());
    closeLock();
}

Result<void, FileError> RecordingFolder::remove() {
    // The lock goes last: a crash half-way leaves a folder that is still found and finished.
    for (const fs::path& entry : sortedEntries(path_)) {
        const std::string name = entry.filename().string();
        struct stat info {};
        if (!name.starts_with("zimlo_") || ::lstat(entry.c_str(), &info) != 0 ||
            S_ISDIR(info.st_mode))
            continue;
        if (::unlink(entry.c_str()) != 0 && errno != ENOENT) {
            int code = errno;
            ZIMLO_LOG_ERROR("recordings") << "removing " << entry << ": " << std::strerror(code);
            return failed("remove", entry, code);
        }
    }
    ::unlink((path_ / kJournalName).c_str());
    ::unlink((path_ / kDraftNoteName).c_str());
    ::unlink((path_ / kLockName).c_str());
    closeLock();
    if (::rmdir(path_.c_str()) != 0 && errno != ENOENT) {
        int code = errno;
        ZIMLO_LOG_WARN("recordings")
            << "left " << path_ << " (something else is in it): " << std::strerror(code);
        return failed("rmdir", path_, code);
    }
    return {};
}

}  // namespace zimlo
