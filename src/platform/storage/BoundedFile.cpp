#include "platform/storage/BoundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zimlo {

namespace {

Failure<FileError> failed(const char* what, const std::filesystem::path& file, int error) {
    return fail(FileError{what, file, std::error_code(error, std::generic_category())});
}

}  // namespace

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Result<UniqueFd, FileError> openRegularFile(const std::filesystem::path& file, bool noFollow) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (noFollow) flags |= O_NOFOLLOW;
    UniqueFd fd(::open(file.c_str(), flags));
    if (fd.get() < 0) return failed("cannot open", file, errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return failed("cannot open", file, errno);
    if (S_ISDIR(info.st_mode)) return failed("cannot read", file, EISDIR);
    if (!S_ISREG(info.st_mode)) return failed("not a regular file, not read:", file, EINVAL);
    // Reads of a regular file never wait anyway; clear the flag for readers that expect
    // ordinary semantics.
    if (int current = ::fcntl(fd.get(), F_GETFL); current >= 0)
        ::fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK);
    return fd;
}

Result<std::string, FileError> readRegularFile(const std::filesystem::path& file,
                                               std::size_t maximumBytes) {
    auto opened = openRegularFile(file);
    if (!opened) return fail(std::move(opened).error());
    const int fd = opened->get();
    struct stat info {};
    if (::fstat(fd, &info) != 0) return failed("cannot read", file, errno);
    if (static_cast<uint64_t>(info.st_size) > maximumBytes)
        return failed("cannot read", file, EFBIG);
    std::string contents(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == contents.size()) contents.resize(contents.size() + 4096);
        ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return failed("cannot read", file, errno);
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
        if (filled > maximumBytes) return failed("cannot read", file, EFBIG);  // it grew
    }
    contents.resize(filled);
    return contents;
}

}  // namespace zimlo
