#include "platform/storage/BoundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace zimlo {

namespace {

Failure<FileError> failed(const char* what, const std::filesystem::path& file, int error) {
    return fail(FileError{what, file, std::error_code(error, std::generic_category())});
}

// Why a file of this kind and size cannot be read whole, or 0.
int refusal(const struct stat& info, size_t limit) {
    if (S_ISDIR(info.st_mode)) return EISDIR;
    if (!S_ISREG(info.st_mode)) return EINVAL;
    if (static_cast<uint64_t>(info.st_size) > limit) return EFBIG;
    return 0;
}

const char* refusalStep(int error) {
    return error == EFBIG ? "reading (too large)" : "reading (not a regular file)";
}

}  // namespace

Result<std::string, FileError> readRegularFile(const std::filesystem::path& file, size_t limit) {
    // Looked at before opening, so that opening never touches a device; looked at again on the
    // open descriptor, in case the name was replaced in between.
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return failed("reading", file, errno);
    if (int error = refusal(info, limit)) return failed(refusalStep(error), file, error);
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return failed("reading", file, errno);
    auto close = [fd] { ::close(fd); };
    if (::fstat(fd, &info) != 0) {
        int error = errno;
        close();
        return failed("reading", file, error);
    }
    if (int error = refusal(info, limit)) {
        close();
        return failed(refusalStep(error), file, error);
    }
    std::string contents;
    contents.resize(static_cast<size_t>(info.st_size));
    size_t filled = 0;
    for (;;) {
        if (filled == contents.size()) {
            if (filled >= limit + 1) {  // grew past the limit while being read
                close();
                return failed("reading (too large)", file, EFBIG);
            }
            contents.resize(std::min(limit + 1, filled + 4096));
        }
        ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            close();
            return failed("reading", file, error);
        }
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    close();
    if (filled > limit) return failed("reading (too large)", file, EFBIG);
    contents.resize(filled);
    return contents;
}

}  // namespace zimlo
