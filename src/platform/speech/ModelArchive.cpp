#include "platform/speech/ModelArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace zimlo::speech {

namespace fs = std::filesystem;

namespace {

struct ReaderFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterFree {
    void operator()(archive* a) const { archive_write_free(a); }
};

using Kind = ModelInstallError::Kind;

std::string inQuotes(const std::string& text) { return "'" + text + "'"; }

Failure<ModelInstallError> failure(Kind kind, const fs::path& path, std::string message) {
    return fail(ModelInstallError{kind, path, std::move(message)});
}

std::string libraryError(archive* a) {
    const char* text = archive_error_string(a);
    return text ? text : "unknown error";
}

// The disk writer's words ("Write failed") with the system's reason (a full disk).
std::string writeError(archive* a) {
    const int code = archive_errno(a);
    return code > 0 ? libraryError(a) + ": " + std::strerror(code) : libraryError(a);
}

// An entry's name as a path inside the tree ("" for the tree itself); none when it would leave
// the tree.
std::optional<fs::path> nameInside(const char* name) {
    if (!name || !*name) return std::nullopt;
    fs::path path(name);
    if (path.is_absolute()) return std::nullopt;
    fs::path inside;
    for (const auto& part : path) {
        if (part == "..") return std::nullopt;
        if (part.empty() || part == ".") continue;
        inside /= part;
    }
    return inside;
}

// Only links that stay in their own folder's subtree: with "..", a chain of links can climb out
// of the tree even when each one alone seems to stay inside it.
bool linkTargetStaysInside(const char* target) {
    if (!target || !*target) return false;
    fs::path path(target);
    if (path.is_absolute()) return false;
    for (const auto& part : path) {
        if (part == "..") return false;
    }
    return true;
}

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// What an unpacking or copy has put on the disk so far, against its limits.
class Budget {
  public:
    Budget(const UnpackLimits& limits, fs::path source, fs::path into)
        : limits_(limits), source_(std::move(source)), into_(std::move(into)) {
        struct statvfs disk {};
        if (::statvfs(into_.c_str(), &disk) == 0) {
            const double total = static_cast<double>(disk.f_blocks) * disk.f_frsize;
            reserve_ = std::min<std::uint64_t>(
                limits_.keepFree, static_cast<std::uint64_t>(total * limits_.keepFreeFraction));
        }
    }

    ModelInstallResult<void> addEntry(const std::string& name) {
        if (++entries_ <= limits_.entries) return {};
        return failure(Kind::refused, source_,
                       inQuotes(source_.string()) + " is refused: it holds more than " +
                           std::to_string(limits_.entries) + " files and folders (at " +
                           inQuotes(name) + ")");
    }

    // An entry that says how large it is gets refused before any of it is written.
    ModelInstallResult<void> expect(std::uint64_t count, const std::string& name) const {
        if (count <= limits_.bytes && bytes_ + count <= limits_.bytes) return {};
        return tooLarge(name);
    }

    // Before `count` more bytes are written for `name`.
    ModelInstallResult<void> addBytes(std::uint64_t count, const std::string& name) {
        bytes_ += count;
        if (bytes_ > limits_.bytes) return tooLarge(name);
        // The disk is looked at again every so often: others write to it too. With nothing to
        // keep free, a full disk speaks for itself.
        if (reserve_ == 0 || bytes_ < nextCheck_) return {};
        struct statvfs disk {};
        if (::statvfs(into_.c_str(), &disk) != 0) return {};
        const std::uint64_t available = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
        const std::uint64_t written = bytes_ - count;  // already on the disk
        if (available < count || available - count < reserve_) {
            return failure(Kind::writeFailed, source_,
                           "cannot unpack " + inQuotes(name) + " from " +
                               inQuotes(source_.string()) + ": the disk holding " +
                               inQuotes(into_.parent_path().string()) + " would have less than " +
                               std::to_string(std::max<std::uint64_t>(reserve_ / kMiB, 1)) +
                               " MiB free (" + std::to_string(written / kMiB) +
                               " MiB unpacked so far)");
        }
        // Nothing written until then can take the disk below the reserve.
        nextCheck_ = bytes_ + std::max<std::uint64_t>((available - count - reserve_) / 2, 1);
        return {};
    }

  private:
    Failure<ModelInstallError> tooLarge(const std::string& name) const {
        return failure(Kind::refused, source_,
                       inQuotes(source_.string()) + " is refused: it unpacks to more than " +
                           std::to_string(limits_.bytes / kMiB) + " MiB (at " + inQuotes(name) +
                           ")");
    }

    UnpackLimits limits_;
    fs::path source_;
    fs::path into_;
    std::uint64_t reserve_ = 0;
    std::uint64_t entries_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t nextCheck_ = 0;
};

ModelInstallResult<void> copyData(archive* in, archive* out, const fs::path& archivePath,
                                  const std::string& entryName, Budget& budget) {
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int result = archive_read_data_block(in, &block, &size, &offset);
        if (result == ARCHIVE_EOF) return {};
        if (result < ARCHIVE_WARN) {
            return failure(
                Kind::damaged, archivePath,
                "the archive is damaged at " + inQuotes(entryName) + ": " + libraryError(in));
        }
        if (auto room = budget.addBytes(size, entryName); !room) return room;
        // A failed or short write is only a warning to libarchive; the file would stay cut short.
        if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
            return failure(Kind::writeFailed, archivePath,
                           "cannot write " + inQuotes(entryName) + ": " + writeError(out));
        }
    }
}

}  // namespace

ModelInstallResult<void> unpackModelArchive(const fs::path& archivePath, const fs::path& folder,
                                            const UnpackLimits& limits) {
    // libarchive refuses to write through any symbolic link on an entry's path, including those
    // above the folder (a data folder on another disk): name the folder without them.
    std::error_code ec;
    const fs::path into = fs::canonical(folder, ec);
    if (ec) {
        return failure(Kind::writeFailed, folder,
                       "cannot unpack into " + inQuotes(folder) + ": " + ec.message());
    }
    std::unique_ptr<archive, ReaderFree> in(archive_read_new());
    std::unique_ptr<archive, WriterFree> out(archive_write_disk_new());
    if (!in || !out) return failure(Kind::writeFailed, archivePath, "out of memory");
    archive_read_support_filter_all(in.get());
    archive_read_support_format_all(in.get());
    // Our checks below come first and give the clearer message; libarchive's own guards stay on
    // as a second line. Owners, permissions beyond the umask and extended attributes are not
    // restored.
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME |
                                                  ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS);

    const std::string shown = inQuotes(archivePath.string());
    Budget budget(limits, archivePath, into);
    if (archive_read_open_filename(in.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK) {
        return failure(Kind::unreadable, archivePath,
                       "cannot read " + shown + " as an archive: " + libraryError(in.get()));
    }
    for (;;) {
        archive_entry* entry = nullptr;
        int result = archive_read_next_header(in.get(), &entry);
        if (result == ARCHIVE_EOF) break;
        if (result < ARCHIVE_WARN) {
            return failure(Kind::damaged, archivePath,
                           shown + " is not a readable archive: " + libraryError(in.get()));
        }
        const char* rawName = archive_entry_pathname(entry);
        const std::string name = rawName ? rawName : "";
        auto inside = nameInside(rawName);
        if (!inside) {
            return failure(Kind::refused, archivePath,
                           shown + " is refused: its entry " + inQuotes(name) +
                               " would be written outside the model folder");
        }
        if (inside->empty()) continue;  // "./", the tree itself
        if (auto counted = budget.addEntry(name); !counted) return counted;

        const char* hardlink = archive_entry_hardlink(entry);
        const auto type = archive_entry_filetype(entry);
        if (hardlink) {
            auto linked = nameInside(hardlink);
            if (!linked || linked->empty()) {
                return failure(Kind::refused, archivePath,
                               shown + " is refused: its hard link " + inQuotes(name) +
                                   " points outside the model folder");
            }
            archive_entry_set_hardlink(entry, (into / *linked).c_str());
        } else if (type == AE_IFLNK) {
            const char* target = archive_entry_symlink(entry);
            if (!linkTargetStaysInside(target)) {
                return failure(Kind::refused, archivePath,
                               shown + " is refused: its symbolic link " + inQuotes(name) +
                                   " points to " + inQuotes(target ? target : "") +
                                   ", outside its own folder");
            }
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            return failure(Kind::refused, archivePath,
                           shown + " is refused: " + inQuotes(name) +
                               " is a special file, not a file or folder");
        }

        archive_entry_set_pathname(entry, (into / *inside).c_str());
        auto unpackFailure = [&] {
            return failure(Kind::writeFailed, archivePath,
                           "cannot unpack " + inQuotes(name) + " from " + shown + ": " +
                               writeError(out.get()));
        };
        if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0 && !hardlink) {
            const auto declared = static_cast<std::uint64_t>(archive_entry_size(entry));
            if (auto room = budget.expect(declared, name); !room) return room;
        }
        if (archive_write_header(out.get(), entry) < ARCHIVE_WARN) return unpackFailure();
        if (archive_entry_size(entry) > 0 && !hardlink) {
            if (auto copied = copyData(in.get(), out.get(), archivePath, name, budget); !copied)
                return copied;
        }
        if (archive_write_finish_entry(out.get()) < ARCHIVE_WARN) return unpackFailure();
    }
    if (archive_write_close(out.get()) < ARCHIVE_WARN) {
        return failure(Kind::writeFailed, archivePath,
                       "cannot finish unpacking " + shown + ": " + writeError(out.get()));
    }
    return {};
}

ModelInstallResult<void> copyModelFolder(const fs::path& folder, const fs::path& into,
                                         const UnpackLimits& limits) {
    Budget budget(limits, folder, into);
    std::error_code ec;
    auto unreadable = [&] {
        return failure(Kind::unreadable, folder,
                       "cannot read " + inQuotes(folder.string()) + ": " + ec.message());
    };
    fs::recursive_directory_iterator it(folder, ec), end;
    if (ec) return unreadable();
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::path relative = it->path().lexically_relative(folder);
        const fs::path target = into / relative;
        const fs::file_status own = it->symlink_status(ec);
        if (fs::is_directory(own) && fs::equivalent(it->path(), into, ec)) {
            it.disable_recursion_pending();  // the copy itself, when `into` lies in `folder`
            continue;
        }
        if (auto counted = budget.addEntry(relative.string()); !counted) return counted;
        if (fs::is_directory(own)) {
            fs::create_directory(target, ec);
        } else if (fs::is_regular_file(own) ||
                   (fs::is_symlink(own) && fs::is_regular_file(it->status(ec)))) {
            const std::uintmax_t size = fs::file_size(it->path(), ec);
            if (ec) return unreadable();
            if (auto room = budget.addBytes(size, relative.string()); !room) return room;
            fs::copy_file(it->path(), target, ec);  // a link's file, not the link
        } else {
            return failure(Kind::refused, it->path(),
                           "cannot copy " + inQuotes(it->path().string()) +
                               ": only folders, files and links to files are copied");
        }
        if (ec) {
            return failure(Kind::writeFailed, it->path(),
                           "cannot copy " + inQuotes(it->path().string()) + ": " + ec.message());
        }
    }
    if (ec) return unreadable();
    return {};
}

}  // namespace zimlo::speech
