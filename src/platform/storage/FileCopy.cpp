#include "platform/storage/FileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace zimlo {

namespace {

Failure<FileError> failed(const char* what, const std::filesystem::path& path, int error) {
    return fail(FileError{what, path, std::error_code(error, std::generic_category())});
}

// Plain reads and writes, for file systems that cannot copy in the kernel.
int copyByReading(int in, int out) {
    std::vector<char> buffer(size_t{1} << 20);
    for (;;) {
        ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return 0;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return errno;
            done += put;
        }
    }
}

}  // namespace

Result<void, FileError> copyFileContents(const std::filesystem::path& source,
                                         const std::filesystem::path& destination) {
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return failed("cannot copy file", source, errno);
    struct stat info {};
    int unusable = ::fstat(in, &info) != 0  ? errno
                   : S_ISDIR(info.st_mode)  ? EISDIR
                   : !S_ISREG(info.st_mode) ? EINVAL
                                            : 0;
    if (unusable != 0) {
        ::close(in);
        return failed("cannot copy file", source, unusable);
    }
    int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        int error = errno;
        ::close(in);
        return failed("cannot copy file", destination, error);
    }
    int error = 0;
    bool inKernel = true;
    while (inKernel) {
        ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
        if (copied > 0) continue;
        if (copied == 0) break;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
            inKernel = false;  // whatever was copied stays; reading continues from there
            error = copyByReading(in, out);
        } else {
            error = errno;
            break;
        }
    }
    ::close(in);
    if (error == 0 && ::fsync(out) != 0) error = errno;
    if (::close(out) != 0 && error == 0) error = errno;
    if (error != 0) {
        ::unlink(destination.c_str());
        return failed("cannot copy file", destination, error);
    }
    return {};
}

}  // namespace zimlo
