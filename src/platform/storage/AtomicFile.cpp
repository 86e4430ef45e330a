#include "platform/storage/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

namespace zimlo {

namespace {

Failure<FileError> failed(const char* what, const std::filesystem::path& file, int error) {
    return fail(FileError{what, file, std::error_code(error, std::generic_category())});
}

// Opens a fresh temporary file next to `file`; the name is unique within this process and
// O_EXCL guards against other processes.
Result<int, FileError> openTemporary(const std::filesystem::path& file,
                                     std::filesystem::path& temporary) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "." + file.filename().string() + ".tmp-" + std::to_string(getpid()) +
                           "-" + std::to_string(counter++);
        temporary = file.parent_path() / name;
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return failed("cannot create temporary file", temporary, errno);
    }
    return failed("cannot create temporary file", temporary, EEXIST);
}

}  // namespace

Result<void, FileError> writeFileAtomically(const std::filesystem::path& file,
                                            std::string_view contents) {
    std::filesystem::path temporary;
    auto opened = openTemporary(file, temporary);
    if (!opened) return fail(std::move(opened).error());
    int fd = *opened;
    auto abandon = [&](const char* what, int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return failed(what, file, error);
    };
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return abandon("cannot write file", errno);
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    if (::fsync(fd) != 0) return abandon("cannot flush file", errno);
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failed("cannot write file", file, error);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return failed("cannot replace file", file, error);
    }
    // Make the rename itself durable; the new contents are already complete either way.
    (void)syncDirectory(file.parent_path().empty() ? "." : file.parent_path());
    return {};
}

Result<void, FileError> syncDirectory(const std::filesystem::path& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failed("cannot open folder", directory, errno);
    int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    // Some file systems cannot flush a folder; their entries are as safe as they get.
    if (error != 0 && error != EINVAL && error != EROFS)
        return failed("cannot flush folder", directory, error);
    return {};
}

}  // namespace zimlo
